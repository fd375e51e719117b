#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

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
using zelkit::detail::core;
using zelkit::detail::GlobalLock;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kOther = 0x0A380C31;

// A device that logs hook-on users in and answers as told.
class RequestsTest : public testing::Test {
 protected:
  void SetUp() override {
    device.start();
    client = std::make_unique<ZelClient>(("zelp://HookOn1@" + device.endpoint()).c_str(), 0x11223344, 7);
  }
  zeltest::TestDevice device;
  std::unique_ptr<ZelClient> client;
};

long long millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

TEST_F(RequestsTest, TimeoutZeroTakesTheDefaultOfItsTime) {
  device.setRule(kCommand, zeltest::Rule::silent());
  for (const int defaultMs : {800, 1600}) {
    ZelClient::setDefaultTimeout(defaultMs);
    Recorder replies;
    const auto sent = Clock::now();
    client->sendRequest(0, kCommand, Recorder::callback, &replies);
    ZelClient::setDefaultTimeout(60000);  // later requests only
    const auto reply = replies.waitFor(kCommand, 10s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, zelkit::ResponseTimeout);
    // Between T and T plus two housekeeping passes.
    EXPECT_GE(millisecondsBetween(sent, reply->time), defaultMs);
    EXPECT_LT(millisecondsBetween(sent, reply->time), defaultMs + 2500);
  }
}

TEST_F(RequestsTest, PayloadAndTableOfMaximumSizeThrowAndQueueNothing) {
  {
    zelkit::ZelInputStream response;  // logged in: the queue holds still
    client->sendRequest(3000, kOther, response);
    response.wait();
  }
  zelkit::ZelOutputStream payload;
  const std::string name(55, 'h');  // a 60-byte table entry each
  for (int i = 0; i < 10; ++i) payload.writeHostId(name.c_str());
  while (payload.size() < 65000) payload.writeOctet(0x5A);
  zelkit::detail::Connection* connection = core().getConnection(("zelp://HookOn1@" + device.endpoint()).c_str());
  int queued;
  {
    GlobalLock lock;
    queued = connection->queuedCount;
  }
  EXPECT_THROW(client->sendRequest(1000, kCommand, payload, Recorder::callback, nullptr),
               zelkit::BadParameterException*);
  EXPECT_EQ(payload.size(), 65000);  // the stream still holds its payload
  {
    GlobalLock lock;
    EXPECT_EQ(connection->queuedCount, queued);
  }
  EXPECT_FALSE(device.waitForTag(kCommand, 500ms));
}

TEST_F(RequestsTest, EmptyPayloadGoesOutWithoutItsTable) {
  zelkit::ZelOutputStream payload;
  payload.enforceValueTable();
  client->sendRequest(1000, kCommand, payload, nullptr, nullptr);
  const auto frame = device.waitForTag(kCommand, 5s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->tpktLength, 20);
  EXPECT_FALSE(frame->header.hasValueTable());
  EXPECT_EQ(frame->header.sessionId, 0x11223344u);
  EXPECT_EQ(frame->header.num, 7);
}

struct ErrorReplyCase {
  zeltest::Bytes payload;
  int callbackCode;  // in the asynchronous header
  int thrownCode;    // code of the exception a synchronous wait throws
};

TEST_F(RequestsTest, ErrorRepliesGiveTheirCodes) {
  const ErrorReplyCase cases[] = {
      {{0x40}, 0x40, zelkit::InvalidCmd},
      {{0xF0, 0x12}, 0xF012, zelkit::UnknownError},  // wait throws the first octet: no class of its own
      {{0x05}, 0x05, zelkit::UnknownError},
      {{}, 0xFF, zelkit::UnknownError},  // nothing to read: the unknown error
  };
  for (const ErrorReplyCase& row : cases) {
    zeltest::Rule rule = zeltest::Rule::reply(row.payload);
    rule.modeByte = zeltest::kModeErrorReply;
    device.setRule(kCommand, rule);
    Recorder replies;
    client->sendRequest(3000, kCommand, Recorder::callback, &replies);
    const auto reply = replies.waitFor(kCommand, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->mode, zelkit::detail::ErrorReply);
    EXPECT_EQ(reply->errorCode, row.callbackCode);

    zelkit::ZelInputStream response;
    client->sendRequest(3000, kCommand, response);
    try {
      response.wait();
      ADD_FAILURE() << "no exception";
    } catch (zelkit::Exception* exception) {
      EXPECT_EQ(exception->code, row.thrownCode);
    }
  }
}

TEST_F(RequestsTest, JoinedReplyArrivesWhole) {
  zeltest::Bytes big(70000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + 3);
  device.setRule(kCommand, zeltest::Rule::reply(big));
  Recorder replies;
  client->sendRequest(5000, kCommand, Recorder::callback, &replies);
  const auto reply = replies.waitFor(kCommand, 10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, 0);
  EXPECT_EQ(reply->payload, big);
}

TEST_F(RequestsTest, TimerAndLocalEventHeadersCarryNoStaleError) {
  // An error reply first, so that a recycled packet holds error bytes.
  device.setRule(kCommand, zeltest::Rule::error(0x40));
  Recorder replies;
  client->sendRequest(3000, kCommand, Recorder::callback, &replies);
  ASSERT_TRUE(replies.waitFor(kCommand, 5s));

  Recorder timer;
  core().setTimer(1, 0, Recorder::callback, &timer, nullptr);
  const auto fired = timer.waitFor(zelkit::detail::LocalEvent::Timer, 5s);
  ASSERT_TRUE(fired);
  EXPECT_EQ(fired->mode, zelkit::detail::Message);
  EXPECT_EQ(fired->errorCode, 0);

  Recorder events;
  client->registerMessageCallback(Recorder::callback, &events);
  client->disconnect();
  const auto closed = events.waitFor(zelkit::detail::LocalEvent::ConnectionClosed, 5s);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->mode, zelkit::detail::Message);
  EXPECT_EQ(closed->errorCode, 0);
  client->unregisterCallback(nullptr, &events);
}

TEST(Requests, ClosingResetsQueuedAndPendingRequestsAtTheNextCheck) {
  for (const bool registered : {true, false}) {
    SCOPED_TRACE(registered ? "pending" : "queued");
    zeltest::TestDevice device;
    device.setRule(kCommand, zeltest::Rule::silent());
    device.setSilent(!registered);  // unregistered: requests stay queued
    device.start();
    ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    if (registered) {
      zelkit::ZelInputStream response;
      client.sendRequest(3000, kOther, response);
      response.wait();
    }
    Recorder replies;
    client.sendRequest(60000, kCommand, Recorder::callback, &replies);
    if (registered) {
      ASSERT_TRUE(device.waitForTag(kCommand, 5s));
    }
    std::this_thread::sleep_for(200ms);
    const auto closed = Clock::now();
    client.disconnect();
    EXPECT_EQ(replies.count(), 0u);  // not at once
    const auto reply = replies.waitFor(kCommand, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
    EXPECT_LT(millisecondsBetween(closed, reply->time), 2500);
  }
}

// Queued delivery: one callback per dispatch, on the dispatching thread.
std::atomic<int> notifications{0};
void countNotification(void*) { notifications.fetch_add(1); }

TEST_F(RequestsTest, NotificationHandlerQueuesCallbacksButNotTheLogin) {
  core().setCallbackNotificationHandler(countNotification, nullptr);
  zeltest::Bytes big(70000, 0xA5);
  device.setRule(kCommand, zeltest::Rule::reply(big));
  device.setRule(kOther, zeltest::Rule::reply({1, 2}));
  Recorder replies;
  client->sendRequest(5000, kCommand, Recorder::callback, &replies);
  client->sendRequest(5000, kOther, Recorder::callback, &replies);
  // The login's own reply ran on the worker, or nothing would have been sent.
  ASSERT_TRUE(waitUntil([] { return notifications.load() == 2; }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(replies.count(), 0u);
  core().dispatchQueuedCallbacks();
  ASSERT_EQ(replies.count(), 1u);
  core().dispatchQueuedCallbacks();
  ASSERT_EQ(replies.count(), 2u);
  core().dispatchQueuedCallbacks();  // nothing left: nothing happens
  const auto deliveries = replies.deliveries();
  EXPECT_EQ(deliveries[0].payload, big);  // the joined reply, whole
  EXPECT_EQ(deliveries[0].thread, std::this_thread::get_id());
  EXPECT_EQ(deliveries[1].payload, (zeltest::Bytes{1, 2}));
}

TEST(Requests, FailedConnectionDeliversInvalidAddressAndFreesFragments) {
  core().ensureInitialized();
  ZelClient client("127.1.1.1:9", 0, 0);
  const int before = zelkit::detail::ZelPacket::liveCount();
  {
    zelkit::ZelOutputStream payload;
    for (int i = 0; i < 3 * 65504; ++i) payload.writeOctet(static_cast<uint8_t>(i));
    Recorder replies;
    client.sendRequest(1000, kCommand, payload, Recorder::callback, &replies);
    ASSERT_EQ(replies.count(), 1u);  // at once
    EXPECT_EQ(replies.deliveries()[0].errorCode, zelkit::InvalidAddress);
  }
  EXPECT_EQ(zelkit::detail::ZelPacket::liveCount(), before);

  zelkit::ZelInputStream response;
  client.sendRequest(1000, kCommand, response);
  try {
    response.wait();
    FAIL() << "no exception";
  } catch (zelkit::Exception* exception) {
    EXPECT_STREQ(exception->what(), "zelkit::InvalidAddress");
  }
}

// A look-up that never returns: a request still queued behind it expires
// and the address counts as invalid from then on.
TEST(Requests, RequestExpiringWhileResolvingMarksTheAddressInvalid) {
  core().ensureInitialized();
  const std::string url = "zelp://127.0.0.1:" + std::to_string(closedPort());
  Recorder events;
  Recorder replies;
  ZelClient client(url.c_str(), 0, 0);
  zelkit::detail::Connection* connection = core().getConnection(url.c_str());
  {
    GlobalLock lock;
    // Nothing of the first connect is left to expire.
    connection->close(zelkit::detail::LocalEvent::ConnectionClosed, "test", 0);
    core().checkRequestTimeouts(connection, 0);
    ASSERT_EQ(connection->queuedCount, 0);
    connection->state = zelkit::detail::ConnectionState::Resolving;  // and the resolver is never woken
    client.registerMessageCallback(Recorder::callback, &events);
    client.sendRequest(600, kCommand, Recorder::callback, &replies);
  }
  const auto reply = replies.waitFor(kCommand, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, zelkit::ResponseTimeout);
  EXPECT_TRUE(events.waitFor(zelkit::detail::LocalEvent::AddressInvalid, 5s));
  {
    GlobalLock lock;
    EXPECT_EQ(connection->state, zelkit::detail::ConnectionState::Failed);
  }
  Recorder later;
  client.sendRequest(600, kCommand, Recorder::callback, &later);
  ASSERT_EQ(later.count(), 1u);  // at once
  EXPECT_EQ(later.deliveries()[0].errorCode, zelkit::InvalidAddress);
  client.unregisterCallback(nullptr, &events);
}

TEST_F(RequestsTest, ReplyBeforeTheWaitSignalsNothing) {
  zelkit::ZelInputStream response;
  testing::internal::CaptureStdout();
  client->sendRequest(3000, kCommand, response);
  ASSERT_TRUE(device.waitForTag(kCommand, 5s));
  std::this_thread::sleep_for(300ms);  // the reply is in before the wait
  response.wait();
  EXPECT_EQ(testing::internal::GetCapturedStdout().find("Notify"), std::string::npos);
}

// A callback of the walk over connections deletes the connection after
// its own and adds another one.
zelkit::detail::Connection* doomed = nullptr;
std::atomic<bool> deleted{false};
void deleteNextConnection(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  GlobalLock lock;
  delete doomed;
  deleted = true;
  core().getConnection("127.1.1.1:78");
}

TEST(Requests, HousekeepingWalkSurvivesConnectionsChangingUnderIt) {
  zeltest::TestDevice device;
  device.setRule(kCommand, zeltest::Rule::silent());
  device.start();
  core().ensureInitialized();
  doomed = new zelkit::detail::Connection("127.1.1.1:77", 0, 0, false, nullptr);
  // Made later, so ahead of the doomed one in the list.
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  client.sendRequest(300, kCommand, deleteNextConnection, nullptr);
  EXPECT_TRUE(waitUntil([] { return deleted.load(); }, 5s));
  // The engine goes on.
  Recorder timer;
  core().setTimer(1, 0, Recorder::callback, &timer, nullptr);
  EXPECT_TRUE(timer.waitForCount(1, 5s));
}

TEST(Requests, PacketStillBeingSentOutlivesItsTimeout) {
  RawPeer peer(false, 4096);
  ZelClient client(peer.url("HookOn1@").c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(peer.acceptAndRegister(5s));
  zelkit::detail::Connection* connection = core().getConnection(peer.url("HookOn1@").c_str());
  ASSERT_TRUE(waitUntil(
      [&] {
        GlobalLock lock;
        return connection->state == zelkit::detail::ConnectionState::Registered;
      },
      5s));
  {
    // A small send buffer keeps the big send outstanding.
    GlobalLock lock;
    const int size = 4096;
    zelkit::platform::setSocketOption(connection->socketHandle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  }
  constexpr int kPayload = 600000;
  zelkit::ZelOutputStream payload;
  for (int i = 0; i < kPayload; ++i) payload.writeOctet(static_cast<uint8_t>(i * 7 + 3));
  Recorder replies;
  client.sendRequest(300, kCommand, payload, Recorder::callback, &replies);
  const auto reply = replies.waitFor(kCommand, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, zelkit::ResponseTimeout);
  {
    // Memory freed too early would now be overwritten (ASan reports it directly).
    zelkit::detail::ZelPacket* reuse[16];
    for (auto*& packet : reuse) {
      packet = zelkit::detail::ZelPacket::alloc(65504);
      std::memset(packet->wire, 0xEE, 65504 + 20);
    }
    for (auto* packet : reuse) zelkit::detail::ZelPacket::free(packet);
  }

  // Every byte that reaches the peer is the request's own.
  int offset = 0;
  while (offset < kPayload) {
    const auto frame = peer.readFrame(5s);
    ASSERT_TRUE(frame) << "at payload offset " << offset;
    ASSERT_EQ(frame->header.tag, kCommand);
    for (size_t i = 0; i < frame->payload.size(); ++i)
      ASSERT_EQ(frame->payload[i], static_cast<uint8_t>((offset + static_cast<int>(i)) * 7 + 3)) << offset + i;
    offset += static_cast<int>(frame->payload.size());
  }
  EXPECT_EQ(offset, kPayload);
}

void readPastTheEnd(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream& stream) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
  stream.readULong();  // the reply is shorter: BadParameterException*
}

TEST_F(RequestsTest, ExceptionFromACallbackDoesNotEndTheWorker) {
  device.setRule(kCommand, zeltest::Rule::reply({1}));
  std::atomic<int> calls{0};
  client->sendRequest(3000, kCommand, readPastTheEnd, &calls);
  ASSERT_TRUE(waitUntil([&] { return calls.load() == 1; }, 5s));
  zelkit::ZelInputStream response;
  client->sendRequest(3000, kCommand, response);
  response.wait();
  EXPECT_EQ(response.readOctet(), 1);
}

struct SyncFromCallback {
  ZelClient* client;
  std::atomic<int> code{0};
};
void requestSynchronously(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  auto* self = static_cast<SyncFromCallback*>(context);
  zelkit::ZelInputStream response;
  try {
    self->client->sendRequest(3000, kOther, response);
    response.wait();
    self->code = -1;
  } catch (zelkit::Exception* exception) {
    self->code = exception->code;
  }
}

TEST_F(RequestsTest, SynchronousRequestOnTheWorkerFailsAtOnce) {
  SyncFromCallback probe{client.get()};
  client->sendRequest(3000, kCommand, requestSynchronously, &probe);
  ASSERT_TRUE(waitUntil([&] { return probe.code.load() != 0; }, 5s));
  EXPECT_EQ(probe.code.load(), zelkit::BadParameter);
  EXPECT_FALSE(device.waitForTag(kOther, 300ms));  // nothing was sent
}

}  // namespace
