// What a synchronous caller that receives its own frames does on the way
// must look to everyone else as if the worker had received them: other
// connections' message fan-outs keep their place, sends that the frames
// trigger leave at once, a receive the port took already is waited for
// without spinning, and the call returns only after the callbacks of the
// frames before its reply.

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/own_reply_frames.h"
#include "core/wire/stream_access.h"
#include "support/test_device.h"
#include "support/wire_codec.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace std::chrono_literals;
using namespace ownreply;
using zelkit::ZelClient;

std::string hookOnUrl(const zeltest::TestDevice& device) { return "zelp://HookOn1@" + device.endpoint(); }

zeltest::Bytes keepAlive(uint8_t sequence) {
  zeltest::FrameHeader header;
  header.tag = zeltest::kTagKeepAliveMessage;
  header.modeByte = zeltest::kModeMessage;
  header.transactionId = sequence;
  return zeltest::encodeFrame(header, {});
}

// A synchronous request on another thread; the future yields its error code
// (0 for a reply).
std::future<int> syncRequestOn(ZelClient& client, int timeoutMs = 5000) {
  return std::async(std::launch::async, [&client, timeoutMs] {
    zelkit::ZelInputStream response;
    int errorCode = 0;
    client.sendRequest(timeoutMs, kSync, response);
    zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
    return errorCode;
  });
}

// A device whose worker-holding messages keep the worker inside a callback
// while the test lets a caller receive on another connection.
struct HeldWorker {
  zeltest::TestDevice device;
  std::unique_ptr<ZelClient> client;
  // Outlives the test: the connection's close notice comes after it.
  WorkerGate& gate = *new WorkerGate;

  HeldWorker() {
    device.setRule(kAsync, zeltest::Rule::reply());
    device.start();
    client = std::make_unique<ZelClient>(hookOnUrl(device).c_str(), 0, 0);
    client->registerMessageCallback(WorkerGate::hold, &gate);
  }
  bool hold() { return loggedIn(*client) && device.pushMessage(0, kMessage, 1) && gate.waitEntered(); }
};

TEST(OwnReplyFanOut, EveryEntryGetsTheMessageWhileACallerOnAnotherConnectionReceives) {
  // The worker is inside the first entry's callback of a message on C1 (the
  // subscription, which the walk meets first) when a caller on C2 receives a
  // message and its reply itself; the primary entry of C1 still gets it.
  zeltest::TestDevice pushing;
  pushing.setRule(kAsync, zeltest::Rule::reply());
  pushing.start();
  zeltest::TestDevice answering;
  answering.setRule(kSync, zeltest::Rule::silent());
  answering.setRule(kAsync, zeltest::Rule::reply());
  answering.start();
  ZelClient c1(hookOnUrl(pushing).c_str(), 0, 0);
  ZelClient c2(hookOnUrl(answering).c_str(), 0, 0);
  static CallbackLog& primary = *new CallbackLog;
  static WorkerGate& subscription = *new WorkerGate;
  c1.registerMessageCallback(CallbackLog::record, &primary);
  const unsigned long tags[] = {kMessage};
  c1.subscribeMessageCallback(WorkerGate::hold, &subscription, tags, 1);
  ASSERT_TRUE(loggedIn(c1));
  ASSERT_TRUE(loggedIn(c2));

  ASSERT_TRUE(pushing.pushMessage(0, kMessage, 1, bytesOf("M")));
  ASSERT_TRUE(subscription.waitEntered());
  const size_t seen = answering.frames().size();
  auto caller = syncRequestOn(c2);
  const auto request = answering.waitForTag(kSync, 5s, seen);
  bool answered = false;
  if (request) {
    std::this_thread::sleep_for(20ms);  // the caller waits for its reply by now
    uint8_t sequence = 1;
    answered = answering.sendRaw(0, oneWrite({"N", "S"}, *request, nullptr, sequence), zeltest::WriteStyle::Whole) &&
               caller.wait_for(5s) == std::future_status::ready && caller.get() == 0;
  }
  subscription.letGo();
  ASSERT_TRUE(answered);
  EXPECT_TRUE(enginetest::waitUntil([] { return primary.count() >= 1; }, 5000ms));
  EXPECT_EQ(primary.labelsFrom(0), std::vector<std::string>{"M"});
}

// Answers the caller's synchronous request once the check is done, so that
// no reply handled meanwhile sends what the check waits for.
bool answerAfter(zeltest::TestDevice& device, size_t seen, const std::function<bool()>& check) {
  const auto request = device.waitForTag(kSync, 5s, seen);
  if (!request) return false;
  const bool passed = check();
  return device.reply(*request, bytesOf("S")) && passed;
}

TEST(OwnReplySends, KeepAliveAnswerLeavesAtOnceWhereverTheCallerReadTheKeepAlive) {
  // The worker is held throughout, so only the caller can send the answer.
  struct Case {
    const char* name;
    bool beforeRequest;  // in the socket before the request is written, else while the caller waits
  } const cases[] = {
      {"waiting when the request is written", true},
      {"arriving while the caller waits", false},
  };
  HeldWorker worker;
  zeltest::TestDevice device;
  device.setRule(kAsync, zeltest::Rule::reply());
  device.setRule(kSync, zeltest::Rule::silent());
  device.start();
  ZelClient client(hookOnUrl(device).c_str(), 0, 0);
  ASSERT_TRUE(loggedIn(client));
  ASSERT_TRUE(worker.hold());
  uint8_t sequence = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t seen = device.frames().size();
    if (c.beforeRequest) {
      ASSERT_TRUE(device.sendRaw(0, keepAlive(sequence++), zeltest::WriteStyle::Whole));
      std::this_thread::sleep_for(50ms);  // arrived, and no one has read it
    }
    auto caller = syncRequestOn(client);
    EXPECT_TRUE(answerAfter(device, seen, [&] {
      if (!c.beforeRequest && !device.sendRaw(0, keepAlive(sequence++), zeltest::WriteStyle::Whole)) return false;
      return device.waitForTag(zeltest::kTagKeepAliveAnswer, 1500ms, seen).has_value();
    })) << "no keep-alive answer while the caller waited";
    ASSERT_EQ(caller.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(caller.get(), 0);
  }
  worker.gate.letGo();
}

TEST(OwnReplySends, RequestWaitingForAnIdLeavesOnceAReplyTheCallerReadFreesOne) {
  HeldWorker worker;
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::reply());
  device.setRule(kAsync, zeltest::Rule::silent());
  device.setRecordPayloads(true);
  device.start();
  ZelClient client(hookOnUrl(device).c_str(), 0, 0);
  {
    zelkit::ZelInputStream response;
    int errorCode = 0;
    client.sendRequest(5000, kSync, response);
    ASSERT_TRUE(zelkit::detail::StreamAccess::awaitReply(response, &errorCode));  // logged in
  }
  device.setRule(kSync, zeltest::Rule::silent());
  ASSERT_TRUE(worker.hold());
  static enginetest::Recorder& replies = *new enginetest::Recorder;
  const size_t seen = device.frames().size();
  for (int i = 0; i < 256; ++i) client.sendRequest(5000, kAsync, enginetest::Recorder::callback, &replies);
  ASSERT_TRUE(device.waitForFrameCount(seen + 256, 5000ms));
  zelkit::ZelOutputStream last;
  last.writeOctet('R');
  EXPECT_EQ(client.sendRequest(5000, kAsync, last, enginetest::Recorder::callback, &replies), -1);  // waits for an id
  // A reply that frees an id is in the socket when the synchronous request
  // is written; the caller reads it.
  const auto first = device.waitForTag(kAsync, 5s, seen);
  ASSERT_TRUE(first);
  ASSERT_TRUE(device.reply(*first, {}));
  std::this_thread::sleep_for(50ms);
  const size_t before = device.frames().size();
  auto caller = syncRequestOn(client);
  EXPECT_TRUE(answerAfter(device, before, [&] {
    return device
        .waitForFrame([](const zeltest::RecordedFrame& frame) { return frame.payload == bytesOf("R"); }, 1500ms,
                      before)
        .has_value();
  })) << "the request that waited for an id never left";
  // The caller's reply waits behind the callback of the reply it read first,
  // which the worker runs.
  worker.gate.letGo();
  ASSERT_EQ(caller.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(caller.get(), 0);
}

// A request on a failed connection runs its callback on the application's
// thread, inside that request's sendRequest; the callback makes a
// synchronous request of its own, and receives a keep-alive while it waits.
struct NestedCaller {
  ZelClient* client;
  zeltest::TestDevice* device;
  int errorCode = -1;
  bool answerLeft = false;

  static void run(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    auto* self = static_cast<NestedCaller*>(context);
    const size_t seen = self->device->frames().size();
    std::thread deviceSide([self, seen] {
      self->answerLeft = answerAfter(*self->device, seen, [self, seen] {
        return self->device->sendRaw(0, keepAlive(1), zeltest::WriteStyle::Whole) &&
               self->device->waitForTag(zeltest::kTagKeepAliveAnswer, 1500ms, seen).has_value();
      });
    });
    zelkit::ZelInputStream response;
    self->client->sendRequest(5000, kSync, response);
    int errorCode = 0;
    zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
    self->errorCode = errorCode;
    deviceSide.join();
  }
};

TEST(OwnReplySends, CallbackInsideAnotherRequestsSendRequestHoldsNoSendBack) {
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::reply());
  device.start();
  ZelClient client(hookOnUrl(device).c_str(), 0, 0);
  ASSERT_TRUE(loggedIn(client));
  ZelClient failed("127.1.1.1:9", 0, 0);
  NestedCaller nested{&client, &device};
  zelkit::ZelOutputStream payload;
  failed.sendRequest(1000, kAsync, payload, NestedCaller::run, &nested);
  EXPECT_EQ(nested.errorCode, 0);
  EXPECT_TRUE(nested.answerLeft) << "the keep-alive answer waited for the outer request";
}

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

TEST(OwnReplyWait, CallerWhoseReceiveThePortTookSleepsUntilTheWorkerHandlesIt) {
  // The worker, held, lets messages on C1 and C2 gather; let go, it takes
  // both receives from the port in one pass and stays in C1's callback.
  // C2's receive has then completed to the port, not to the caller, which
  // must sleep while its reply waits in the socket.
  HeldWorker worker;
  zeltest::TestDevice slow;
  slow.setRule(kAsync, zeltest::Rule::reply());
  slow.start();
  zeltest::TestDevice device;
  device.setRule(kAsync, zeltest::Rule::reply());
  device.setRule(kSync, zeltest::Rule::reply(bytesOf("S")));
  device.start();
  ZelClient slowClient(hookOnUrl(slow).c_str(), 0, 0);
  ZelClient client(hookOnUrl(device).c_str(), 0, 0);
  static WorkerGate& slowCallback = *new WorkerGate;
  slowClient.registerMessageCallback(WorkerGate::hold, &slowCallback);
  ASSERT_TRUE(loggedIn(slowClient));
  ASSERT_TRUE(loggedIn(client));
  ASSERT_TRUE(worker.hold());
  ASSERT_TRUE(slow.pushMessage(0, kMessage, 1));
  std::this_thread::sleep_for(50ms);  // C1 is ready before C2
  ASSERT_TRUE(device.pushMessage(0, kMessage, 1));
  std::this_thread::sleep_for(50ms);
  worker.gate.letGo();
  ASSERT_TRUE(slowCallback.waitEntered());

  const double cpuBefore = processCpuSeconds();
  auto caller = syncRequestOn(client);
  const bool endedEarly = caller.wait_for(1000ms) == std::future_status::ready;
  const double cpuUsed = processCpuSeconds() - cpuBefore;
  slowCallback.letGo();
  ASSERT_EQ(caller.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(caller.get(), 0);
  EXPECT_FALSE(endedEarly) << "the caller got its reply although the worker had its receive";
  EXPECT_LT(cpuUsed, 0.4) << "the caller spun while it waited for the worker";
}

TEST(OwnReplyOrder, CallReturnsAfterTheCallbacksOfTheFramesBeforeItsReply) {
  // Each case goes out in one write; the callbacks of the messages before
  // "S" have run when the call returns.
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    std::vector<std::string> ranBeforeReturn;
  } const cases[] = {
      {"one message first", {"M1", "S"}, {"M1"}},
      {"messages around the reply", {"M1", "M2", "S", "M3"}, {"M1", "M2"}},
      {"reply first", {"S", "M1"}, {}},
  };
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::reply());
  device.start();
  ZelClient client(hookOnUrl(device).c_str(), 0, 0);
  // Slow callbacks: a call that does not wait for them returns first.
  struct SlowLog {
    CallbackLog log;
    static void record(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
      std::this_thread::sleep_for(30ms);
      CallbackLog::record(&static_cast<SlowLog*>(context)->log, header, stream);
    }
  };
  static SlowLog& slow = *new SlowLog;
  client.registerMessageCallback(SlowLog::record, &slow);
  ASSERT_TRUE(loggedIn(client));
  uint8_t sequence = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t logged = slow.log.count();
    const size_t seen = device.frames().size();
    auto caller = syncRequestOn(client);
    const auto request = device.waitForTag(kSync, 5s, seen);
    ASSERT_TRUE(request);
    std::this_thread::sleep_for(20ms);  // the caller waits for its reply by now
    ASSERT_TRUE(device.sendRaw(0, oneWrite(c.pieces, *request, nullptr, sequence), zeltest::WriteStyle::Whole));
    ASSERT_EQ(caller.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(caller.get(), 0);
    std::vector<std::string> ran = slow.log.labelsFrom(logged);
    ran.resize(std::min(ran.size(), c.ranBeforeReturn.size()));
    EXPECT_EQ(ran, c.ranBeforeReturn);
    const size_t messages = c.pieces.size() - 1;
    EXPECT_TRUE(enginetest::waitUntil([&] { return slow.log.count() >= logged + messages; }, 5000ms));
  }
}

TEST(OwnReplyOrder, CallWaitsForTheWorkerToRunTheCallbacksBeforeItsReply) {
  // With the worker held, the message before the reply cannot have run: the
  // call returns only once the worker is let go and has run it.
  HeldWorker worker;
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::reply());
  device.start();
  ZelClient client(hookOnUrl(device).c_str(), 0, 0);
  static CallbackLog& log = *new CallbackLog;
  client.registerMessageCallback(CallbackLog::record, &log);
  ASSERT_TRUE(loggedIn(client));
  ASSERT_TRUE(worker.hold());
  const size_t seen = device.frames().size();
  auto caller = syncRequestOn(client);
  const auto request = device.waitForTag(kSync, 5s, seen);
  ASSERT_TRUE(request);
  std::this_thread::sleep_for(20ms);
  uint8_t sequence = 1;
  ASSERT_TRUE(device.sendRaw(0, oneWrite({"M1", "S"}, *request, nullptr, sequence), zeltest::WriteStyle::Whole));
  const bool returnedWhileHeld = caller.wait_for(300ms) == std::future_status::ready;
  worker.gate.letGo();
  ASSERT_EQ(caller.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(caller.get(), 0);
  EXPECT_FALSE(returnedWhileHeld);
  EXPECT_EQ(log.labelsFrom(0), std::vector<std::string>{"M1"});
}

}  // namespace

namespace {

// Every message reaches each of two entries once and in order, while
// several threads make synchronous requests on the same connection (their
// callers receive the messages among their replies) and one makes
// asynchronous ones.
TEST(OwnReplyOrder, PushesAmongManyCallersReachEveryEntryOnceInOrder) {
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::echo());
  device.setRule(kAsync, zeltest::Rule::echo());
  device.start();
  ZelClient client(hookOnUrl(device).c_str(), 0, 0);
  struct Sequence {
    std::mutex mutex;
    std::vector<uint32_t> seen;
    static void record(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream& stream) {
      auto* self = static_cast<Sequence*>(context);
      const uint32_t number = stream.readULong();
      std::lock_guard<std::mutex> guard(self->mutex);
      self->seen.push_back(number);
    }
    size_t count() {
      std::lock_guard<std::mutex> guard(mutex);
      return seen.size();
    }
  };
  static Sequence& primary = *new Sequence;
  static Sequence& subscriber = *new Sequence;
  client.registerMessageCallback(Sequence::record, &primary);
  const unsigned long tags[] = {kMessage};
  client.subscribeMessageCallback(Sequence::record, &subscriber, tags, 1);
  ASSERT_TRUE(loggedIn(client));

  constexpr uint32_t kPushes = 2000;
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; !done.load(); ++round) {
        zelkit::ZelOutputStream out;
        out.writeULong(static_cast<unsigned long>(t << 24 | round));
        zelkit::ZelInputStream response;
        client.sendRequest(5000, kSync, out, response);
        int errorCode = 0;
        if (!zelkit::detail::StreamAccess::awaitReply(response, &errorCode) ||
            response.readULong() != static_cast<unsigned long>(t << 24 | round))
          ++wrong;
      }
    });
  }
  threads.emplace_back([&] {
    static enginetest::Recorder& replies = *new enginetest::Recorder;
    while (!done.load()) {
      client.sendRequest(5000, kAsync, enginetest::Recorder::callback, &replies);
      std::this_thread::sleep_for(1ms);
    }
  });
  for (uint32_t i = 0; i < kPushes; ++i) {
    zeltest::Bytes payload;
    zeltest::appendU32(payload, i);
    ASSERT_TRUE(device.pushMessage(0, kMessage, static_cast<uint8_t>(i + 1), payload));
    if (i % 64 == 0) std::this_thread::sleep_for(1ms);
  }
  const bool allArrived =
      enginetest::waitUntil([] { return primary.count() >= kPushes && subscriber.count() >= kPushes; }, 20000ms);
  done = true;
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(allArrived);
  EXPECT_EQ(wrong.load(), 0);
  for (Sequence* entry : {&primary, &subscriber}) {
    std::lock_guard<std::mutex> guard(entry->mutex);
    ASSERT_EQ(entry->seen.size(), kPushes);
    for (uint32_t i = 0; i < kPushes; ++i) ASSERT_EQ(entry->seen[i], i) << "at " << i;
  }
}

}  // namespace
