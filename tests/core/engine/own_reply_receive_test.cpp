// A synchronous caller receives its own reply while it waits; frames that
// come in the same read and belong to callbacks (device messages, replies of
// asynchronous requests) must still run on the worker, in the order they
// came.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "core/engine/own_reply_frames.h"
#include "core/wire/stream_access.h"
#include "platform/thread.h"
#include "support/test_device.h"
#include "support/wire_codec.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace std::chrono_literals;
using zelkit::ZelClient;

using namespace ownreply;

TEST(OwnReplyReceive, CallbacksInTheSameReadAsTheReplyRunOnTheWorkerInOrder) {
  // S: the synchronous reply; A: the asynchronous request's reply; M1, M2:
  // device messages. Each case goes out in one write.
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
  } const cases[] = {
      {"messages around the reply", {"M1", "S", "M2"}},
      {"reply first", {"S", "A", "M1"}},
      {"callbacks before and after", {"A", "M1", "S", "M2"}},
  };
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::silent());
  device.start();
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  // Outlives the test: the connection's close notice comes after it.
  static CallbackLog& log = *new CallbackLog;
  client.registerMessageCallback(CallbackLog::record, &log);
  uint8_t sequence = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t seen = device.frames().size();
    const size_t logged = log.count();
    const bool withAsync = std::find(c.pieces.begin(), c.pieces.end(), "A") != c.pieces.end();
    zelkit::ZelOutputStream asyncPayload;
    if (withAsync) client.sendRequest(5000, kAsync, asyncPayload, CallbackLog::record, &log);
    int errorCode = 0;
    std::thread caller([&] {
      zelkit::ZelInputStream response;
      client.sendRequest(5000, kSync, response);
      zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
    });
    const auto syncRequest = device.waitForTag(kSync, 5s, seen);
    const auto asyncRequest = withAsync ? device.waitForTag(kAsync, 5s, seen) : std::nullopt;
    ASSERT_TRUE(syncRequest && (asyncRequest || !withAsync));
    std::this_thread::sleep_for(20ms);  // the caller waits for its reply by now
    std::vector<std::string> expected;
    for (const std::string& piece : c.pieces)
      if (piece != "S") expected.push_back(piece);
    const zeltest::Bytes write = oneWrite(c.pieces, *syncRequest, asyncRequest ? &*asyncRequest : nullptr, sequence);
    ASSERT_TRUE(device.sendRaw(0, write, zeltest::WriteStyle::Whole));
    caller.join();
    EXPECT_EQ(errorCode, 0);
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (log.count() < logged + expected.size() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(2ms);
    std::lock_guard<std::mutex> guard(log.mutex);
    ASSERT_EQ(log.labels.size(), logged + expected.size());
    const std::vector<std::string> ran(log.labels.begin() + static_cast<long>(logged), log.labels.end());
    EXPECT_EQ(ran, expected);
    for (size_t i = logged; i < log.threads.size(); ++i)
      EXPECT_EQ(log.threads[i], zelkit::detail::core().getWorkerThreadId()) << log.labels[i];
  }
}

TEST(OwnReplyReceive, CallerThatReceivesGetsTheEndOfItsRequest) {
  // One caller alone on its connection, so that it receives for itself when
  // the request ends another way than by its reply.
  struct Case {
    const char* name;
    zeltest::Rule rule;
    int timeoutMs;
    int errorCode;
  } const cases[] = {
      {"time-out", zeltest::Rule::silent(), 300, zelkit::ResponseTimeout},
      {"device resets", zeltest::Rule::reset(), 5000, zelkit::ConnectionReset},
      {"device closes", zeltest::Rule::close(), 5000, zelkit::ConnectionReset},
      {"error reply", zeltest::Rule::error(0x21), 5000, 0x21},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::TestDevice device;
    zeltest::Rule rule = c.rule;
    rule.delay = 20ms;  // the caller waits for its reply by then
    device.setRule(kSync, rule);
    device.setRule(kAsync, zeltest::Rule::reply(bytesOf("after")));
    device.start();
    ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    int errorCode = 0;
    {
      zelkit::ZelInputStream response;
      client.sendRequest(5000, kAsync, response);
      ASSERT_TRUE(zelkit::detail::StreamAccess::awaitReply(response, &errorCode));  // logged in
    }
    zelkit::ZelInputStream response;
    client.sendRequest(c.timeoutMs, kSync, response);
    EXPECT_FALSE(zelkit::detail::StreamAccess::awaitReply(response, &errorCode));
    EXPECT_EQ(errorCode, c.errorCode);
    // The connection still serves the next request (reconnecting if it must).
    zelkit::ZelInputStream next;
    client.sendRequest(5000, kAsync, next);
    EXPECT_TRUE(zelkit::detail::StreamAccess::awaitReply(next, &errorCode));
    EXPECT_EQ(next.available(), 5);
  }
}

TEST(OwnReplyReceive, UnregisteredContextLosesItsHandedOffDeliveriesOthersKeepTheirs) {
  // The asynchronous request's reply (context "dropped") and the device's
  // messages (context "kept") reach the caller right behind its reply while
  // the worker is held; the application unregisters "dropped" before the
  // worker comes to them.
  zeltest::TestDevice busyDevice;
  busyDevice.setRule(kAsync, zeltest::Rule::reply());
  busyDevice.start();
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::reply());
  device.start();
  ZelClient busyClient(("zelp://HookOn1@" + busyDevice.endpoint()).c_str(), 0, 0);
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  // Outlive the test: the connections' close notices come after it.
  static WorkerGate& gate = *new WorkerGate;
  static CallbackLog& kept = *new CallbackLog;
  static CallbackLog& dropped = *new CallbackLog;
  busyClient.registerMessageCallback(WorkerGate::hold, &gate);
  client.registerMessageCallback(CallbackLog::record, &kept);
  // The device's answer to the new registration has been handled once a
  // later reply has: one the port took already would be the worker's.
  ASSERT_TRUE(loggedIn(busyClient));
  ASSERT_TRUE(loggedIn(client));
  device.setRule(kAsync, zeltest::Rule::silent());

  const size_t seen = device.frames().size();
  zelkit::ZelOutputStream asyncPayload;
  client.sendRequest(5000, kAsync, asyncPayload, CallbackLog::record, &dropped);
  const auto asyncRequest = device.waitForTag(kAsync, 5s, seen);
  ASSERT_TRUE(asyncRequest);
  uint8_t sequence = 1;
  ASSERT_TRUE(busyDevice.sendRaw(0, message(sequence++, "hold"), zeltest::WriteStyle::Whole));
  ASSERT_TRUE(gate.waitEntered());

  auto caller = std::async(std::launch::async, [&] {
    zelkit::ZelInputStream response;
    int errorCode = 0;
    client.sendRequest(5000, kSync, response);
    return zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
  });
  const auto syncRequest = device.waitForTag(kSync, 5s, seen);
  bool answered = false;
  if (syncRequest) {
    std::this_thread::sleep_for(20ms);  // the caller waits for its reply by now
    const zeltest::Bytes write = oneWrite({"S", "M1", "A", "M2"}, *syncRequest, &*asyncRequest, sequence);
    answered = device.sendRaw(0, write, zeltest::WriteStyle::Whole) &&
               caller.wait_for(5s) == std::future_status::ready && caller.get();
  }
  if (answered) client.unregisterCallback(CallbackLog::record, &dropped);
  gate.letGo();
  ASSERT_TRUE(answered) << "the caller did not receive its reply while the worker was held";

  // They run in order: once the last message ran, the reply before it had.
  EXPECT_TRUE(enginetest::waitUntil([] { return kept.count() >= 2; }, 5000ms));
  EXPECT_EQ(kept.labelsFrom(0), (std::vector<std::string>{"M1", "M2"}));
  EXPECT_EQ(dropped.count(), 0u);
}

TEST(OwnReplyReceive, CloseFromAnotherThreadWhileTheCallerHoldsReceivesEndsItsRequest) {
  // Each pause after the device has the request puts the close at another
  // point of the caller's wait: as it takes the hold, as it starts to wait
  // for input, deep in that wait.
  const std::chrono::milliseconds pauses[] = {0ms, 1ms, 5ms, 30ms};
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::reply(bytesOf("after")));
  device.start();
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  for (int round = 0; round < 3; ++round) {
    for (const auto pause : pauses) {
      SCOPED_TRACE(testing::Message() << "round " << round << ", close after " << pause.count() << " ms");
      ASSERT_TRUE(loggedIn(client));
      const size_t seen = device.frames().size();
      int errorCode = 0;
      bool answered = true;
      std::thread caller([&] {
        zelkit::ZelInputStream response;
        client.sendRequest(5000, kSync, response);
        answered = zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
      });
      const bool sent = device.waitForTag(kSync, 5s, seen).has_value();
      std::this_thread::sleep_for(pause);
      client.disconnect();
      caller.join();
      ASSERT_TRUE(sent);
      EXPECT_FALSE(answered);
      EXPECT_NE(errorCode, zelkit::ResponseTimeout);
    }
  }
  EXPECT_TRUE(loggedIn(client));  // and the connection serves again
}

TEST(OwnReplyReceive, CallerThatHoldsTheLibraryLockLeavesReceivingToTheWorker) {
  // It cannot let go of the lock while it would wait for input, so the
  // worker must receive for it, and time it out.
  struct Case {
    const char* name;
    zeltest::Rule rule;
    int timeoutMs;
    int errorCode;
  } const cases[] = {
      {"reply", zeltest::Rule::reply(bytesOf("R")), 5000, 0},
      {"time-out", zeltest::Rule::silent(), 300, zelkit::ResponseTimeout},
  };
  zeltest::TestDevice device;
  device.setRule(kAsync, zeltest::Rule::reply());
  device.start();
  // Never destroyed: a caller stuck with the lock would block its destructor.
  static ZelClient& client = *new ZelClient(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  ASSERT_TRUE(loggedIn(client));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::Rule rule = c.rule;
    rule.delay = 20ms;  // the caller waits by then
    device.setRule(kSync, rule);
    // Detached: a caller that never ends must fail the test, not hang it.
    auto outcome = std::make_shared<std::promise<std::pair<bool, int>>>();
    auto ended = outcome->get_future();
    std::thread([outcome, timeoutMs = c.timeoutMs] {
      zelkit::detail::GlobalLock lock;
      zelkit::ZelInputStream response;
      int errorCode = 0;
      client.sendRequest(timeoutMs, kSync, response);
      const bool answered = zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
      outcome->set_value({answered, errorCode});
    }).detach();
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready) << "the caller never ended";
    const auto [answered, errorCode] = ended.get();
    EXPECT_EQ(answered, c.errorCode == 0);
    EXPECT_EQ(errorCode, c.errorCode);
  }
}

}  // namespace
