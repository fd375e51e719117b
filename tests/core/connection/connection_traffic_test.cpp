#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "platform/completion_port.h"
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
namespace LocalEvent = zelkit::detail::LocalEvent;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kOther = 0x0A380C31;

zeltest::Bytes pattern(size_t size) {
  zeltest::Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 1);
  return bytes;
}

// A registered hook-on client of a test device, with a callback for all
// messages and local events.
class TrafficTest : public testing::Test {
 protected:
  void start() {
    device.start();
    url = "zelp://HookOn1@" + device.endpoint();
    GlobalLock lock;
    client = std::make_unique<ZelClient>(url.c_str(), 0, 0);
    client->registerMessageCallback(Recorder::callback, &events);
    client->connect();
  }
  void SetUp() override { start(); }
  // No callback may reach a recorder of the test once it is gone.
  void TearDown() override { client->unregisterCallback(nullptr, &events); }
  Connection* connection() { return core().getConnection(url.c_str()); }

  zeltest::TestDevice device;
  std::string url;
  std::unique_ptr<ZelClient> client;
  Recorder events;
};

TEST_F(TrafficTest, FramesArriveWhateverTheWritePattern) {
  for (const auto style : {zeltest::WriteStyle::ByteByByte, zeltest::WriteStyle::SplitHeader,
                           zeltest::WriteStyle::Whole}) {
    zeltest::Rule rule = zeltest::Rule::reply(pattern(300));
    rule.writeStyle = style;
    device.setRule(kCommand, rule);
    Recorder replies;
    client->sendRequest(8000, kCommand, Recorder::callback, &replies);
    const auto reply = replies.waitFor(kCommand, 10s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, 0);
    EXPECT_EQ(reply->payload, pattern(300));
  }
}

TEST(TrafficFaults, MalformedFramesCloseTheConnection) {
  for (const auto fault : {zeltest::Fault::BadVersion, zeltest::Fault::LengthBelow20,
                           zeltest::Fault::PayloadLengthPastFrame, zeltest::Fault::CloseMidFrame}) {
    SCOPED_TRACE(static_cast<int>(fault));
    zeltest::TestDevice device;
    zeltest::Rule rule = zeltest::Rule::reply(pattern(40));
    rule.fault = fault;
    device.setRule(kCommand, rule);
    device.start();
    Recorder events;
    Recorder replies;
    std::optional<ZelClient> client;
    {
      GlobalLock lock;
      client.emplace(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
      client->registerMessageCallback(Recorder::callback, &events);
      client->sendRequest(60000, kCommand, Recorder::callback, &replies);
    }
    EXPECT_TRUE(events.waitFor(LocalEvent::ConnectionClosed, 5s));
    const auto reply = replies.waitFor(kCommand, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
    EXPECT_TRUE(device.waitForClosed(0, 5s));
    client->unregisterCallback(nullptr, &events);
  }
}

TEST_F(TrafficTest, FragmentedReplyIsDeliveredOnceAndJoined) {
  zeltest::Rule rule = zeltest::Rule::reply(pattern(250));
  rule.fragmentSize = 100;
  device.setRule(kCommand, rule);
  Recorder replies;
  client->sendRequest(5000, kCommand, Recorder::callback, &replies);
  ASSERT_TRUE(replies.waitFor(kCommand, 5s));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(replies.count(), 1u);
  EXPECT_EQ(replies.deliveries()[0].payload, pattern(250));
  EXPECT_EQ(replies.deliveries()[0].mode, zelkit::detail::Reply);
}

TEST_F(TrafficTest, LastFragmentOfAnotherTagGivesExtensionMismatch) {
  device.setRule(kCommand, zeltest::Rule::silent());
  Recorder replies;
  client->sendRequest(5000, kCommand, Recorder::callback, &replies);
  const auto request = device.waitForTag(kCommand, 5s);
  ASSERT_TRUE(request);
  zeltest::FrameHeader first = request->header;
  first.tag = kOther;
  first.modeByte = zeltest::kModeReply | zeltest::kMoreFragments;
  zeltest::FrameHeader last = request->header;
  last.modeByte = zeltest::kModeReply;
  zeltest::Bytes bytes = zeltest::encodeFrame(first, pattern(10));
  const zeltest::Bytes closing = zeltest::encodeFrame(last, pattern(5));
  bytes.insert(bytes.end(), closing.begin(), closing.end());
  testing::internal::CaptureStdout();
  ASSERT_TRUE(device.sendRaw(0, bytes));
  const auto reply = replies.waitFor(kCommand, 5s);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "extensions-mismatch\n");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, zelkit::ExtensionMismatch);
}

TEST_F(TrafficTest, RepliesOfOneTagAreMatchedByTransactionId) {
  device.setRule(kCommand, zeltest::Rule::silent());
  Recorder first;
  Recorder second;
  client->sendRequest(5000, kCommand, Recorder::callback, &first);
  client->sendRequest(5000, kCommand, Recorder::callback, &second);
  ASSERT_TRUE(device.waitForFrameCount(2 + device.frames().size() - device.framesWithTag(kCommand).size(), 5s));
  ASSERT_TRUE(waitUntil([&] { return device.framesWithTag(kCommand).size() == 2; }, 5s));
  const auto frames = device.framesWithTag(kCommand);
  ASSERT_NE(frames[0].header.transactionId, frames[1].header.transactionId);
  device.reply(frames[1], {2});
  device.reply(frames[0], {1});
  ASSERT_TRUE(first.waitForCount(1, 5s));
  ASSERT_TRUE(second.waitForCount(1, 5s));
  EXPECT_EQ(first.deliveries()[0].payload, zeltest::Bytes{1});
  EXPECT_EQ(second.deliveries()[0].payload, zeltest::Bytes{2});
}

// Requests made by callbacks on the worker leave once the completion being
// handled is done; none may be left behind, however the replies arrive.
TEST_F(TrafficTest, RequestsMadeByCallbacksAllLeave) {
  struct Chain {
    ZelClient* client;
    int total;
    std::atomic<int> answered{0};
    std::atomic<int> made{4};
    static void onReply(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
      auto* chain = static_cast<Chain*>(context);
      chain->answered.fetch_add(1);
      // Each reply makes two more until the total is reached.
      for (int i = 0; i < 2 && chain->made.fetch_add(1) < chain->total; ++i)
        chain->client->sendRequest(5000, kCommand, onReply, chain);
    }
  };
  for (const auto style : {zeltest::WriteStyle::Whole, zeltest::WriteStyle::SplitHeader}) {
    device.setWriteStyle(style);
    Chain chain{client.get(), 300};
    for (int i = 0; i < 4; ++i) client->sendRequest(5000, kCommand, Chain::onReply, &chain);
    EXPECT_TRUE(waitUntil([&] { return chain.answered.load() == chain.total; }, 20s)) << chain.answered.load();
    // Callbacks still running must not touch the chain after it is gone.
    client->unregisterCallback(nullptr, &chain);
  }
}

TEST(TrafficLimits, SendQueueHoldsTwelveHundredAndFailsTheRestAtOnce) {
  zeltest::TestDevice device;
  device.setSilent(true);  // never registers: everything stays queued
  device.start();
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(device.waitForTag(zeltest::kTagRegister, 5s));
  Recorder replies;
  for (int i = 0; i < 1201; ++i) client.sendRequest(60000, kCommand, Recorder::callback, &replies);
  EXPECT_EQ(replies.count(), 0u);
  client.sendRequest(60000, kOther, Recorder::callback, &replies);
  ASSERT_EQ(replies.count(), 1u);  // dropped, and completed inside the call
  EXPECT_EQ(replies.deliveries()[0].errorCode, zelkit::ConnectionReset);
  zelkit::ZelInputStream response;
  client.sendRequest(60000, kOther, response);
  EXPECT_THROW(response.wait(), zelkit::Exception*);  // a synchronous caller does not hang
  client.unregisterCallback(nullptr, &replies);
}

// Requests made before the connection is up all wait for its login, so the
// queue limit must not refuse the login's own packets: every request the
// queue took completes with its own reply, and only those it refused (at
// once, inside the call) fail.
TEST(TrafficLimits, LoginGoesAheadOfAFullQueue) {
  using zelkit::detail::SEND_QUEUE_LIMIT;
  for (const int submitted : {SEND_QUEUE_LIMIT + 1, 3000}) {
    SCOPED_TRACE(submitted);
    zeltest::TestDevice device;
    device.addAccount("user", "pw");
    device.setRule(kCommand, zeltest::Rule::echo());
    device.start();
    std::vector<Recorder> replies(static_cast<size_t>(submitted));
    std::vector<bool> refused(replies.size());
    std::optional<ZelClient> client;
    {
      // Held, so that the requests are queued before the connection is up.
      GlobalLock lock;
      client.emplace(("zelp://user:pw@" + device.endpoint()).c_str(), 0, 0);
      for (size_t i = 0; i < replies.size(); ++i) {
        zelkit::ZelOutputStream payload;
        payload.writeULong(static_cast<unsigned long>(i));
        client->sendRequest(60000, kCommand, payload, Recorder::callback, &replies[i]);
        refused[i] = replies[i].count() != 0;
      }
    }
    int completed = 0;
    for (size_t i = 0; i < replies.size(); ++i) {
      ASSERT_TRUE(replies[i].waitForCount(1, 30s)) << i;
      const Delivery reply = replies[i].deliveries()[0];
      if (refused[i]) {
        EXPECT_EQ(reply.errorCode, zelkit::ConnectionReset) << i;
        continue;
      }
      ASSERT_EQ(reply.errorCode, 0) << i;
      ASSERT_EQ(reply.payload.size(), 4u);
      EXPECT_EQ(zeltest::readU32(reply.payload.data()), i);
      ++completed;
    }
    EXPECT_GE(completed, SEND_QUEUE_LIMIT);
    bool loggedIn = false;
    for (const zeltest::Registration& registration : device.registrations())
      loggedIn |= registration.outcome == zeltest::Registration::Outcome::Accepted && registration.challengeResponse;
    EXPECT_TRUE(loggedIn);
  }
}

// One gathered send takes every queued packet up to the system's limit on
// buffers; what the socket does not take at once stays in that send.
TEST(TrafficLimits, GathersTakeEveryQueuedPacketUpToTheSystemLimit) {
  using zelkit::detail::SEND_GATHER_MAX;
  for (const int queued : {17, SEND_GATHER_MAX + 9}) {
    SCOPED_TRACE(queued);
    RawPeer peer(false, 4096);
    ZelClient client(peer.url("HookOn1@").c_str(), 0, 0);
    client.connect();
    ASSERT_TRUE(peer.acceptAndRegister(5s));
    Connection* connection = core().getConnection(peer.url("HookOn1@").c_str());
    ASSERT_TRUE(waitUntil(
        [&] {
          GlobalLock lock;
          return connection->state == zelkit::detail::ConnectionState::Registered && !connection->sendInProgress;
        },
        5s));
    GlobalLock lock;
    const int size = 4096;
    zelkit::platform::setSocketOption(connection->socketHandle, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    zelkit::ZelOutputStream payload;
    for (int i = 0; i < queued * 65504; ++i) payload.writeOctet(static_cast<uint8_t>(i));
    client.sendRequest(60000, kCommand, payload, nullptr, nullptr);
    int pending = 0;
    for (zelkit::detail::ZelPacket* packet = connection->pending.first(); packet != nullptr; packet = packet->pNext)
      ++pending;
    EXPECT_EQ(pending, std::min(queued, SEND_GATHER_MAX));
    EXPECT_EQ(connection->queuedCount, queued - pending);
    EXPECT_TRUE(connection->sendInProgress);
    client.disconnect();
  }
}

TEST_F(TrafficTest, MessagesWithAGapAreStillDelivered) {
  ASSERT_TRUE(events.waitFor(LocalEvent::Registered, 5s));
  for (const uint8_t sequence : {3, 5, 6}) ASSERT_TRUE(device.pushMessage(0, 0x0A010030, sequence, {sequence}));
  ASSERT_TRUE(waitUntil([&] { return events.count() >= 4; }, 5s));
  std::vector<int> sequences;
  for (const Delivery& delivery : events.deliveries())
    if (delivery.tag == 0x0A010030) sequences.push_back(delivery.transactionId);
  EXPECT_EQ(sequences, (std::vector<int>{3, 5, 6}));
}

TEST_F(TrafficTest, KeepAliveIsAnsweredAndNotDelivered) {
  ASSERT_TRUE(events.waitFor(LocalEvent::Registered, 5s));
  ASSERT_TRUE(device.sendKeepAlive(0, 1));
  const auto answer = device.waitForTag(zeltest::kTagKeepAliveAnswer, 5s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->header.mode(), zeltest::kModeRequest);
  EXPECT_TRUE(answer->payload.empty());
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(events.waitFor(zeltest::kTagKeepAliveMessage, 0ms));
}

// A hook-on user sends its id updates as hook-on registrations too.
std::vector<uint16_t> lastIdUpdate(const zeltest::TestDevice& device) {
  const auto registrations = device.registrations();
  return registrations.empty() ? std::vector<uint16_t>{} : registrations.back().request.messageIds;
}

TEST_F(TrafficTest, MessageIdsRegisteredAtTheDevice) {
  std::vector<unsigned long> tags;
  for (unsigned long i = 0; i < 33; ++i) tags.push_back((0x0100 + i) << 16 | 0x0030);
  Recorder subscriber;
  client->subscribeMessageCallback(Recorder::callback, &subscriber, tags.data(), 33);
  // The default id, then the first 31 asked for: 32 in all.
  std::vector<uint16_t> expected = {0xFF03};
  for (uint16_t i = 0; i < 31; ++i) expected.push_back(static_cast<uint16_t>(0x0100 + i));
  // The primary entry takes all messages: the device list is just 0xFFFF.
  ASSERT_TRUE(waitUntil([&] { return lastIdUpdate(device) == std::vector<uint16_t>{0xFFFF}; }, 5s));
  client->unsubscribeMessageCallback(&events);
  EXPECT_TRUE(waitUntil([&] { return lastIdUpdate(device) == expected; }, 5s));
  client->unregisterCallback(nullptr, &subscriber);
}

TEST_F(TrafficTest, SubscriptionsGetTheirTagsAndThePrimaryEntryGetsAll) {
  ASSERT_TRUE(events.waitFor(LocalEvent::Registered, 5s));
  Recorder subscriber;
  const unsigned long wanted[] = {0x0A010030};
  client->subscribeMessageCallback(Recorder::callback, &subscriber, wanted, 1);
  ASSERT_TRUE(device.pushMessage(0, 0x0A010999, 1));  // same high 16 bits
  ASSERT_TRUE(device.pushMessage(0, 0x0B010030, 2));
  ASSERT_TRUE(waitUntil([&] { return events.count() >= 3; }, 5s));
  std::this_thread::sleep_for(200ms);
  client->unregisterCallback(nullptr, &subscriber);
  ASSERT_EQ(subscriber.count(), 1u);
  EXPECT_EQ(subscriber.deliveries()[0].tag, 0x0A010999u);
}

// Subscribed later, so called first: it removes the primary entry.
struct Unregisterer {
  ZelClient* client;
  void* victim;
  std::atomic<int> calls{0};
  static void callback(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    auto* self = static_cast<Unregisterer*>(context);
    self->calls.fetch_add(1);
    self->client->unregisterCallback(Recorder::callback, self->victim);
  }
};

TEST_F(TrafficTest, UnregisterDuringFanOutSkipsTheRemovedEntry) {
  ASSERT_TRUE(events.waitFor(LocalEvent::Registered, 5s));
  const size_t before = events.count();
  Unregisterer remover{client.get(), &events};
  const unsigned long all[] = {0xFFFF0000};
  client->subscribeMessageCallback(Unregisterer::callback, &remover, all, 1);
  ASSERT_TRUE(device.pushMessage(0, 0x0A010030, 1));
  ASSERT_TRUE(waitUntil([&] { return remover.calls.load() == 1; }, 5s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(events.count(), before);
  client->unregisterCallback(nullptr, &remover);
}

TEST(TrafficFaults, JoiningStopsAtTheCap) {
  zeltest::TestDevice device;
  device.setRule(kCommand, zeltest::Rule::silent());
  device.start();
  Recorder events;
  std::optional<ZelClient> client;
  {
    GlobalLock lock;
    client.emplace(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    client->registerMessageCallback(Recorder::callback, &events);
    client->sendRequest(60000, kCommand, nullptr, nullptr);
  }
  const auto request = device.waitForTag(kCommand, 5s);
  ASSERT_TRUE(request);
  zeltest::FrameHeader header = request->header;
  header.modeByte = zeltest::kModeReply | zeltest::kMoreFragments;
  const zeltest::Bytes piece = zeltest::encodeFrame(header, zeltest::Bytes(zeltest::kMaxFragmentPayload, 0x55));
  // Continuations without end: more than 64 MiB of them.
  bool closed = false;
  for (int i = 0; i < 1100 && !closed; ++i) closed = !device.sendRaw(0, piece);
  EXPECT_TRUE(events.waitFor(LocalEvent::ConnectionClosed, 10s));
  EXPECT_TRUE(device.waitForClosed(0, 5s));
  client->unregisterCallback(nullptr, &events);
}

// A reply goes to the request that holds its command word and id once that
// request is on the wire: not to a continuation piece with the same id
// ahead of it in the pending list, not to a holder still queued, and only once.
TEST(TrafficFaults, ReplyIsMatchedOnlyToARequestThatWaits) {
  core().ensureInitialized();
  GlobalLock lock;
  Connection* connection = core().getConnection("127.1.1.1:5");
  auto request = [&](uint32_t tag, zelkit::ZelCallback callback) {
    zelkit::detail::ZelPacket* packet = zelkit::detail::ZelPacket::alloc(0);
    packet->callback = callback;
    packet->setHeaderWord(0, tag);
    packet->setHeaderWord(1, 0x00050000);
    return packet;
  };
  auto replyTo = [&](uint32_t tag) {
    zelkit::detail::ZelPacket* reply = zelkit::detail::ZelPacket::alloc(0);
    reply->setHeaderWord(0, tag);
    reply->setHeaderWord(1, 0x01050000);
    return reply;
  };
  auto hold = [&](zelkit::detail::ZelPacket* packet) {
    zelkit::detail::CommandIds& ids = connection->commandIds[packet->headerWord(0)];
    ids.holders[packet->transactionId()] = packet;
    ++ids.inUse;
  };
  zelkit::detail::ZelPacket* waiting = request(kCommand, Recorder::callback);
  hold(waiting);
  connection->pending.pushFront(waiting);
  zelkit::detail::ZelPacket* continuation = request(kCommand, nullptr);
  connection->pending.pushFront(continuation);
  constexpr uint32_t kQueuedTag = kCommand + 0x100;
  zelkit::detail::ZelPacket* queued = request(kQueuedTag, Recorder::callback);
  hold(queued);
  connection->sendQueue.append(queued);

  for (zelkit::detail::ZelPacket* expected : {waiting, static_cast<zelkit::detail::ZelPacket*>(nullptr)}) {
    zelkit::detail::ZelPacket* reply = replyTo(kCommand);
    EXPECT_EQ(connection->takePendingRequest(reply), expected);
    zelkit::detail::ZelPacket::free(reply);
  }
  zelkit::detail::ZelPacket* early = replyTo(kQueuedTag);
  EXPECT_EQ(connection->takePendingRequest(early), nullptr);
  zelkit::detail::ZelPacket::free(early);
  EXPECT_EQ(connection->pending.first(), continuation);
  zelkit::detail::ZelPacket::free(waiting);
}

TEST(TrafficFaults, ShortDatagramsAreDropped) {
  core().ensureInitialized();
  Recorder messages;
  uint16_t port = 0;
  {
    GlobalLock lock;
    Connection* connection = core().getConnection("127.1.1.1:6");
    connection->registerMessageCallback(Recorder::callback, &messages, nullptr, -1, 0);
    connection->socketHandle = core().getUdpSocket(AF_INET, 0, &port, false);
    zelkit::platform::associateSocket(core().port(), connection->socketHandle, reinterpret_cast<uintptr_t>(connection));
    connection->startDatagramReceive();
    core().startWorker(false);
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = port;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const zeltest::Bytes shortDatagram(10, 0x02);
  zeltest::FrameHeader header;
  header.tag = 0x0A010030;
  header.modeByte = zeltest::kModeMessage;
  zeltest::Bytes message = zeltest::encodeFrame(header, zeltest::Bytes{7, 8});
  message.erase(message.begin(), message.begin() + zeltest::kTpktHeaderSize);  // datagrams carry no TPKT word
  for (const zeltest::Bytes& datagram : {shortDatagram, message})
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ::close(fd);
  const auto delivered = messages.waitFor(0x0A010030, 5s);
  ASSERT_TRUE(delivered);
  EXPECT_EQ(delivered->payload, (zeltest::Bytes{7, 8}));
  EXPECT_EQ(messages.count(), 1u);
}

TEST(TrafficFaults, NullContextUnregisterKeepsSynchronousCallers) {
  zeltest::TestDevice device;
  device.setRule(kCommand, zeltest::Rule::silent());
  device.start();
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  zelkit::ZelInputStream response;
  client.sendRequest(800, kCommand, response);
  ASSERT_TRUE(device.waitForTag(kCommand, 5s));
  client.unregisterCallback(nullptr, nullptr);
  try {
    response.wait();
    FAIL() << "no exception";
  } catch (zelkit::Exception* exception) {
    EXPECT_EQ(exception->code, zelkit::ResponseTimeout);
  }
}

// A look-up that ends after its connection was closed, or given up as a
// bad address (a request expired meanwhile), changes nothing.
TEST(TrafficFaults, LookUpEndingAfterTheConnectionMovedOnChangesNothing) {
  zeltest::TestDevice device;
  device.start();
  struct Case {
    const char* name;
    zelkit::detail::ConnectionState after;
    std::function<void(ZelClient&, Connection*)> moveOn;
  };
  const Case cases[] = {
      {"closed", zelkit::detail::ConnectionState::Idle, [](ZelClient& client, Connection*) { client.disconnect(); }},
      {"given up", zelkit::detail::ConnectionState::Failed,
       [](ZelClient&, Connection* connection) {
         GlobalLock lock;
         if (connection->state == zelkit::detail::ConnectionState::Resolving)
           connection->state = zelkit::detail::ConnectionState::Failed;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The change races the look-up. A look-up that ends first connects, and
    // closing ends that connection; one that ends after it must not connect
    // at all.
    std::vector<std::string> urls;
    for (int attempt = 0; attempt < 60; ++attempt) {
      urls.push_back("zelp://HookOn1@localhost:" + std::to_string(device.port()) + "/" + c.name +
                     std::to_string(attempt));
      ZelClient client(urls.back().c_str(), 0, 0);
      client.connect();
      const auto until = Clock::now() + std::chrono::microseconds(5 * attempt);
      while (Clock::now() < until) {
      }
      c.moveOn(client, core().getConnection(urls.back().c_str()));
    }
    std::this_thread::sleep_for(500ms);
    GlobalLock lock;
    int unchanged = 0;
    for (const std::string& url : urls) {
      Connection* connection = core().getConnection(url.c_str());
      if (connection->state != c.after) continue;  // connected before the change
      ++unchanged;
      EXPECT_EQ(connection->socketHandle, 0) << url;
    }
    if (c.after == zelkit::detail::ConnectionState::Idle) {
      EXPECT_EQ(unchanged, 60);
    } else {
      EXPECT_GT(unchanged, 0);
    }
  }
}

}  // namespace
