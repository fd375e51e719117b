// Transaction ids: a reply is matched by command word and id, so no two
// outstanding requests of one command word may share an id; beyond 256 a
// request waits for one.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "platform/socket.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::ZelClient;
using zelkit::detail::Connection;
using zelkit::detail::core;
using zelkit::detail::GlobalLock;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kOther = 0x0A380C31;
constexpr int kWaiting = -1;

// A payload that names its request.
zeltest::Bytes payloadOf(int index, size_t size = 64) {
  zeltest::Bytes bytes(size, static_cast<uint8_t>(index * 31));
  for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(index >> (24 - 8 * i));
  return bytes;
}

// Asynchronous requests numbered 0..count-1; records what each callback got.
// A callback touches the count of completions last, so the object may go
// once waitForAll has seen them all.
class Requests {
 public:
  explicit Requests(int count) : outcomes_(static_cast<size_t>(count)), contexts_(static_cast<size_t>(count)) {}

  int send(ZelClient& client, int index, int timeoutMs = 30000, size_t size = 64, uint32_t tag = kCommand) {
    const zeltest::Bytes bytes = payloadOf(index, size);
    zelkit::ZelOutputStream payload(bytes.data(), static_cast<int>(bytes.size()));
    contexts_[static_cast<size_t>(index)] = {this, index, size};
    return client.sendRequest(timeoutMs, tag, payload, callback, &contexts_[static_cast<size_t>(index)]);
  }
  bool waitForAll(milliseconds timeout) const {
    return waitUntil([&] { return completed_.load() >= static_cast<int>(outcomes_.size()); }, timeout);
  }
  int deliveries(int index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return outcomes_[static_cast<size_t>(index)].deliveries;
  }
  int errorCode(int index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return outcomes_[static_cast<size_t>(index)].errorCode;
  }
  void expectEachGotItsOwnReplyOnce() const {
    std::lock_guard<std::mutex> guard(mutex_);
    int wrong = 0;
    for (size_t index = 0; index < outcomes_.size(); ++index) {
      const Outcome& outcome = outcomes_[index];
      EXPECT_EQ(outcome.deliveries, 1) << "request " << index;
      EXPECT_EQ(outcome.errorCode, 0) << "request " << index;
      wrong += !outcome.ownPayload;
    }
    EXPECT_EQ(wrong, 0);
  }

 private:
  struct Context {
    Requests* requests;
    int index;
    size_t size;
  };
  struct Outcome {
    int deliveries = 0;
    int errorCode = 0;
    bool ownPayload = false;
  };
  static void callback(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
    const auto* self = static_cast<Context*>(context);
    zeltest::Bytes received(static_cast<size_t>(stream.available()));
    if (!received.empty()) stream.read(received.data(), stream.available());
    {
      std::lock_guard<std::mutex> guard(self->requests->mutex_);
      Outcome& outcome = self->requests->outcomes_[static_cast<size_t>(self->index)];
      ++outcome.deliveries;
      outcome.errorCode = header.errorCode;
      outcome.ownPayload = received == payloadOf(self->index, self->size);
    }
    self->requests->completed_.fetch_add(1);
  }

  mutable std::mutex mutex_;
  std::vector<Outcome> outcomes_;
  std::vector<Context> contexts_;
  std::atomic<int> completed_{0};
};

// On every way out of a test, a failed assertion's too: the connection ends
// and the recorders get their callbacks before they go.
class CallbacksEndFirst {
 public:
  CallbacksEndFirst(ZelClient& client, std::vector<const Requests*> recorders)
      : client_(client), recorders_(std::move(recorders)) {}
  ~CallbacksEndFirst() {
    client_.disconnect();
    for (const Requests* recorder : recorders_) recorder->waitForAll(5s);
  }
  CallbacksEndFirst(const CallbacksEndFirst&) = delete;
  CallbacksEndFirst& operator=(const CallbacksEndFirst&) = delete;

 private:
  ZelClient& client_;
  const std::vector<const Requests*> recorders_;
};

class TransactionIds : public testing::Test {
 protected:
  void SetUp() override {
    device.start();
    url = "zelp://HookOn1@" + device.endpoint();
    client = std::make_unique<ZelClient>(url.c_str(), 0, 0);
  }
  Connection* connection() {
    GlobalLock lock;
    return core().getConnection(url.c_str());
  }
  // Every id given back and nothing left waiting or queued.
  void expectAllIdsFree() {
    Connection* shared = connection();
    GlobalLock lock;
    for (const auto& [tag, ids] : shared->commandIds) {
      EXPECT_EQ(ids.inUse, 0) << std::hex << tag;
      EXPECT_TRUE(ids.waiting.empty()) << std::hex << tag;
    }
    EXPECT_EQ(shared->queuedCount, 0);
  }
  size_t framesOf(uint32_t tag) const { return device.framesWithTag(tag).size(); }
  // The held requests end with the connection, before their recorder goes.
  void release(Requests& held) {
    client->disconnect();
    EXPECT_TRUE(held.waitForAll(5s));
  }
  // 256 unanswered requests of kCommand, all on the wire.
  void holdAllIds(Requests& held) {
    device.setRule(kCommand, zeltest::Rule::silent());
    std::set<int> ids;
    for (int i = 0; i < 256; ++i) ids.insert(held.send(*client, i, 60000));
    EXPECT_EQ(ids.size(), 256u);
    ASSERT_TRUE(waitUntil([&] { return framesOf(kCommand) == 256; }, 10s));
  }

  zeltest::TestDevice device;
  std::string url;
  std::unique_ptr<ZelClient> client;
};

// One client submits them all at once to a device that answers each after
// a pause, so that more than 256 are outstanding; a synchronous request of
// another payload size goes among them.
TEST_F(TransactionIds, ManyOutstandingRequestsEachGetTheirOwnReplyOnce) {
  zeltest::Rule echo = zeltest::Rule::echo();
  echo.delay = 300ms;
  device.setRule(kCommand, echo);
  device.setRecordPayloads(false);
  for (const int count : {257, 600, 1000}) {
    SCOPED_TRACE(count);
    Requests requests(count);
    std::thread synchronous;
    zeltest::Bytes synchronousReply;
    for (int i = 0; i < count; ++i) {
      requests.send(*client, i);
      if (i == count / 2) {
        synchronous = std::thread([&] {
          const zeltest::Bytes bytes = payloadOf(-1, 32);
          zelkit::ZelOutputStream payload(bytes.data(), static_cast<int>(bytes.size()));
          zelkit::ZelInputStream response;
          client->sendRequestSync(30000, kCommand, payload, response);
          synchronousReply.resize(static_cast<size_t>(response.available()));
          response.read(synchronousReply.data(), response.available());
        });
      }
    }
    ASSERT_TRUE(requests.waitForAll(60s));
    synchronous.join();
    requests.expectEachGotItsOwnReplyOnce();
    EXPECT_EQ(synchronousReply, payloadOf(-1, 32));
    expectAllIdsFree();
  }
}

// The 257th request returns -1 and stays off the wire, without holding up
// another command word; the first id that frees is its.
TEST_F(TransactionIds, RequestBeyondTheIdsWaitsForTheFirstThatFrees) {
  Requests held(256);
  ASSERT_NO_FATAL_FAILURE(holdAllIds(held));
  Requests waiting(1);
  EXPECT_EQ(waiting.send(*client, 0), kWaiting);
  device.setRule(kOther, zeltest::Rule::echo());
  Requests other(1);
  EXPECT_GE(other.send(*client, 0, 30000, 64, kOther), 0);
  ASSERT_TRUE(other.waitForAll(5s));
  other.expectEachGotItsOwnReplyOnce();
  EXPECT_EQ(framesOf(kCommand), 256u);

  const zeltest::RecordedFrame freed = device.framesWithTag(kCommand)[10];
  ASSERT_TRUE(device.reply(freed, payloadOf(10)));
  ASSERT_TRUE(waitUntil([&] { return framesOf(kCommand) == 257; }, 5s));
  const zeltest::RecordedFrame sent = device.framesWithTag(kCommand)[256];
  EXPECT_EQ(sent.header.transactionId, freed.header.transactionId);
  EXPECT_EQ(sent.payload, payloadOf(0));
  ASSERT_TRUE(device.reply(sent, payloadOf(0)));
  ASSERT_TRUE(waiting.waitForAll(5s));
  waiting.expectEachGotItsOwnReplyOnce();
  EXPECT_EQ(held.deliveries(10), 1);
  release(held);
}

// A request nobody waits for is still answered by the device: it keeps its
// id until that answer has come, so the answer cannot reach a newer request.
TEST_F(TransactionIds, RequestWithoutCallbackHoldsItsIdUntilItsAnswer) {
  device.setRule(kCommand, zeltest::Rule::silent());
  Connection* shared = connection();
  auto inUse = [&] {
    GlobalLock lock;
    return shared->commandIds[kCommand].inUse;
  };
  client->sendRequest(60000, kCommand, nullptr, nullptr);
  ASSERT_TRUE(waitUntil([&] { return framesOf(kCommand) == 1; }, 5s));
  ASSERT_TRUE(waitUntil(
      [&] {
        GlobalLock lock;
        return !shared->sendInProgress;
      },
      5s));
  EXPECT_EQ(inUse(), 1);
  ASSERT_TRUE(device.reply(device.framesWithTag(kCommand)[0], {1}));
  EXPECT_TRUE(waitUntil([&] { return inUse() == 0; }, 5s));
}

// A fragmented request waits whole: one whose time runs out while it waits
// fails without a piece on the wire; another goes out with all its pieces
// under one id once an id frees.
TEST_F(TransactionIds, FragmentedRequestWaitsWhole) {
  Requests held(256);
  ASSERT_NO_FATAL_FAILURE(holdAllIds(held));
  constexpr size_t kLarge = 200000;
  Requests fragmented(2);
  EXPECT_EQ(fragmented.send(*client, 0, 600, kLarge), kWaiting);
  EXPECT_EQ(fragmented.send(*client, 1, 60000, kLarge), kWaiting);
  ASSERT_TRUE(waitUntil([&] { return fragmented.deliveries(0) == 1; }, 5s));
  EXPECT_EQ(fragmented.errorCode(0), zelkit::ResponseTimeout);
  EXPECT_EQ(framesOf(kCommand), 256u);
  {
    GlobalLock lock;
    EXPECT_EQ(connection()->queuedCount, 4);  // the other one, whole
  }

  ASSERT_TRUE(device.reply(device.framesWithTag(kCommand)[0], payloadOf(0)));
  ASSERT_TRUE(waitUntil([&] { return framesOf(kCommand) == 260; }, 5s));
  const auto frames = device.framesWithTag(kCommand);
  zeltest::Bytes joined;
  for (size_t i = 256; i < 260; ++i) {
    EXPECT_EQ(frames[i].header.transactionId, frames[0].header.transactionId);
    EXPECT_EQ(frames[i].header.moreFragments(), i < 259);
    joined.insert(joined.end(), frames[i].payload.begin(), frames[i].payload.end());
  }
  EXPECT_EQ(joined, payloadOf(1, kLarge));
  ASSERT_TRUE(device.reply(frames[259], payloadOf(1, kLarge)));
  ASSERT_TRUE(fragmented.waitForAll(5s));
  EXPECT_EQ(fragmented.deliveries(1), 1);
  EXPECT_EQ(fragmented.errorCode(1), 0);
  release(held);
}

// Waiting requests are queued ones: they count against the queue's limit,
// and a close completes them with the reset like the rest.
TEST_F(TransactionIds, WaitingRequestsCountAsQueuedOnes) {
  Requests held(256);
  ASSERT_NO_FATAL_FAILURE(holdAllIds(held));
  Requests waiting(1201);
  for (int i = 0; i < 1201; ++i) ASSERT_EQ(waiting.send(*client, i, 60000), kWaiting);
  Requests dropped(1);
  dropped.send(*client, 0, 60000, 64, kOther);
  ASSERT_EQ(dropped.deliveries(0), 1);  // completed inside the call
  EXPECT_EQ(dropped.errorCode(0), zelkit::ConnectionReset);

  client->disconnect();
  ASSERT_TRUE(held.waitForAll(5s));
  ASSERT_TRUE(waiting.waitForAll(5s));
  for (int i = 0; i < 1201; ++i) {
    ASSERT_EQ(waiting.deliveries(i), 1);
    ASSERT_EQ(waiting.errorCode(i), zelkit::ConnectionReset);
  }
  expectAllIdsFree();
}

// The counter is shared by all command words: after 256 requests of others
// it comes back to the id of a request still in the send queue, which must
// not be given again.
TEST(TransactionIdsQueued, IdOfAQueuedRequestIsNotGivenAgain) {
  RawPeer peer;
  ZelClient client(peer.url("HookOn1@").c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(peer.accept(5s));
  const auto registration = peer.readUntil(zeltest::kTagRegister, 5s);
  ASSERT_TRUE(registration);
  // Not registered yet: everything stays queued.
  Requests first(2);
  const int firstId = first.send(client, 0);
  for (int i = 0; i < 255; ++i) client.sendRequest(30000, kOther, nullptr, nullptr);
  const int secondId = first.send(client, 1);
  EXPECT_NE(firstId, secondId);
  ASSERT_TRUE(peer.reply(registration->header, {1, 3, 1, 2}));
  std::vector<zeltest::RecordedFrame> frames;
  while (frames.size() < 2) {
    auto frame = peer.readUntil(kCommand, 5s);
    ASSERT_TRUE(frame);
    frames.push_back(*frame);
  }
  ASSERT_NE(frames[0].header.transactionId, frames[1].header.transactionId);
  ASSERT_TRUE(peer.reply(frames[1].header, payloadOf(1)));
  ASSERT_TRUE(peer.reply(frames[0].header, payloadOf(0)));
  ASSERT_TRUE(first.waitForAll(5s));
  first.expectEachGotItsOwnReplyOnce();
}

// A request whose first pieces are being written (the peer does not read)
// when it ends, while the rest waits behind them: requests queued before the
// login fill the rest of that send. After a close the rest is dropped: the
// next socket carries no piece of it. After its time-out the rest still
// goes, so that the device gets it whole, however long it waits behind the
// pieces before it, and the id stays held until the device's answer to it,
// which reaches no one.
TEST(TransactionIdsQueued, RestOfARequestThatEndedMidSend) {
  constexpr int kPiecesSent = 4;
  constexpr int kFillers = zelkit::detail::SEND_GATHER_MAX - kPiecesSent;
  constexpr int kRest = 12;
  constexpr int kPieces = kPiecesSent + kRest;
  constexpr size_t kLarge = size_t{kPieces} * 65504;
  // Requests without callback, spread over enough command words for their ids.
  const auto fillerTag = [](int index) { return kOther + (static_cast<uint32_t>(index % 4) << 16); };
  enum class End { Close, Timeout };
  for (const End end : {End::Close, End::Timeout}) {
    SCOPED_TRACE(end == End::Close ? "close" : "time-out");
    RawPeer peer(false, 4096);
    const std::string url = peer.url("HookOn1@");
    ZelClient client(url.c_str(), 0, 0);
    // The peer answers no live check, and a slow build may outlast one.
    client.setLiveCheckInterval(0);
    client.connect();
    ASSERT_TRUE(peer.accept(20s));
    const auto registration = peer.readUntil(zeltest::kTagRegister, 20s);
    ASSERT_TRUE(registration);
    Connection* connection;
    {
      GlobalLock lock;
      connection = core().getConnection(url.c_str());
    }
    auto idsInUse = [&] {
      GlobalLock lock;
      return connection->commandIds[kCommand].inUse;
    };
    Requests large(1);
    Requests next(1);
    const CallbacksEndFirst ended(client, {&large, &next});
    // Once the large one has timed out, its rest waits for the device's
    // answer for the default time-out.
    if (end == End::Timeout) ZelClient::setDefaultTimeout(200);
    {
      GlobalLock lock;
      const int size = 4096;
      zelkit::platform::setSocketOption(connection->socketHandle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
      for (int i = 0; i < kFillers; ++i) client.sendRequest(60000, fillerTag(i), nullptr, nullptr);
      large.send(client, 0, end == End::Close ? 60000 : 2000, kLarge);
    }
    // Registered, the connection sends what one send takes.
    ASSERT_TRUE(peer.reply(registration->header, {1, 3, 1, 2}));
    ASSERT_TRUE(waitUntil(
        [&] {
          GlobalLock lock;
          return connection->queuedCount == kRest;
        },
        20s));
    if (end == End::Close) {
      client.disconnect();
      peer.closeConnection();
      next.send(client, 0);  // connects again
      ASSERT_TRUE(peer.acceptAndRegister(20s));
      const auto frame = peer.readUntil(kCommand, 20s);
      ASSERT_TRUE(frame);
      EXPECT_EQ(frame->payload, payloadOf(0));  // the next request, not a piece of the large one
      ASSERT_TRUE(peer.reply(frame->header, payloadOf(0)));
    } else {
      ASSERT_TRUE(large.waitForAll(20s));
      EXPECT_EQ(idsInUse(), 1);
      next.send(client, 0);
      // The rest waits longer than its time-out before the peer reads.
      std::this_thread::sleep_for(2s);
      ZelClient::setDefaultTimeout(zelkit::detail::DEFAULT_REQUEST_TIMEOUT_MS);
      for (int i = 0; i < kFillers; ++i) {
        const auto frame = peer.readFrame(20s);
        ASSERT_TRUE(frame);
        ASSERT_EQ(frame->header.tag, fillerTag(i));
      }
      zeltest::Bytes joined;
      uint8_t largeId = 0;
      for (int piece = 0; piece < kPieces; ++piece) {
        const auto frame = peer.readFrame(20s);
        ASSERT_TRUE(frame);
        if (piece == 0) largeId = frame->header.transactionId;
        ASSERT_EQ(frame->header.tag, kCommand);
        ASSERT_EQ(frame->header.transactionId, largeId);
        joined.insert(joined.end(), frame->payload.begin(), frame->payload.end());
      }
      EXPECT_EQ(joined, payloadOf(0, kLarge));
      const auto frame = peer.readFrame(20s);
      ASSERT_TRUE(frame);
      EXPECT_EQ(frame->payload, payloadOf(0));
      EXPECT_EQ(idsInUse(), 2);
      zeltest::FrameHeader late = frame->header;
      late.transactionId = largeId;
      ASSERT_TRUE(peer.reply(late, {0xA}));
      ASSERT_TRUE(peer.reply(frame->header, payloadOf(0)));
    }
    ASSERT_TRUE(next.waitForAll(20s));
    next.expectEachGotItsOwnReplyOnce();
    ASSERT_TRUE(large.waitForAll(20s));
    EXPECT_EQ(large.deliveries(0), 1);
    EXPECT_EQ(large.errorCode(0), end == End::Close ? zelkit::ConnectionReset : zelkit::ResponseTimeout);
    EXPECT_TRUE(waitUntil([&] { return idsInUse() == 0; }, 5s));
  }
}

}  // namespace
