#include <gtest/gtest.h>

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
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::ZelClient;
using zelkit::detail::core;

constexpr uint32_t kCommand = 0x0A370C31;

class ZelClientTest : public testing::Test {
 protected:
  void SetUp() override {
    device.addAccount("user", "pw");
    device.start();
    url = "zelp://user:pw@" + device.endpoint();
    client = std::make_unique<ZelClient>(url.c_str(), 0x01020304, 9);
  }
  // The exception a synchronous request throws, or null.
  zelkit::Exception* failureOf(int timeoutMs) {
    zelkit::ZelInputStream response;
    client->sendRequest(timeoutMs, kCommand, response);
    try {
      response.wait();
    } catch (zelkit::Exception* exception) {
      return exception;
    }
    return nullptr;
  }
  zeltest::TestDevice device;
  std::string url;
  std::unique_ptr<ZelClient> client;
};

TEST_F(ZelClientTest, SynchronousRequestReturnsTheReply) {
  device.setRule(kCommand, zeltest::Rule::reply({0, 0, 1, 2, 'o', 'k', 0}));
  zelkit::ZelOutputStream payload;
  payload.writeULong(42);
  zelkit::ZelInputStream response;
  client->sendRequestSync(3000, kCommand, payload, response);
  EXPECT_EQ(response.readULong(), 0x102u);
  char text[8];
  response.readString(text, sizeof text);
  EXPECT_STREQ(text, "ok");
  const auto frame = device.waitForTag(kCommand, 1s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload, (zeltest::Bytes{0, 0, 0, 42}));
  EXPECT_EQ(frame->header.sessionId, 0x01020304u);
  EXPECT_EQ(frame->header.num, 9);
  EXPECT_EQ(frame->header.clientId, 0x0101);  // granted at registration
}

TEST_F(ZelClientTest, FailuresThrowTheirExceptions) {
  struct Case {
    zeltest::Rule rule;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {zeltest::Rule::error(0x40), zelkit::InvalidCmd, "zelkit::InvalidCmd"},
      // A device code without a class of its own is the unknown error.
      {zeltest::Rule::error(0x05), zelkit::UnknownError, "zelkit::UnknownError"},
      {zeltest::Rule::silent(), zelkit::ResponseTimeout, "zelkit::ResponseTimeout"},
  };
  for (const Case& row : cases) {
    device.setRule(kCommand, row.rule);
    zelkit::Exception* failure = failureOf(600);
    ASSERT_NE(failure, nullptr) << row.text;
    EXPECT_EQ(failure->code, row.code);
    EXPECT_STREQ(failure->what(), row.text);
  }
}

TEST_F(ZelClientTest, ClosedConnectionFailsTheWaitingCaller) {
  device.setRule(kCommand, zeltest::Rule::silent());
  zelkit::ZelInputStream response;
  client->sendRequest(60000, kCommand, response);
  ASSERT_TRUE(device.waitForTag(kCommand, 5s));
  client->disconnect();
  EXPECT_THROW(response.wait(), zelkit::UnknownErrorException*);
}

TEST_F(ZelClientTest, ClientsOfOneUrlShareTheConnectionAndSendTheirOwnIds) {
  ZelClient second(url.c_str(), 0x0A0B0C0D, 3);
  ZelClient derived(*client, 0x55, 4);
  int result = 1;
  second.connect(result);
  for (ZelClient* sender : {client.get(), &second, &derived}) {
    zelkit::ZelInputStream response;
    zelkit::ZelOutputStream payload;
    sender->sendRequestSync(3000, kCommand, payload, response);
  }
  const auto frames = device.framesWithTag(kCommand);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].header.sessionId, 0x01020304u);
  EXPECT_EQ(frames[1].header.sessionId, 0x0A0B0C0Du);
  EXPECT_EQ(frames[1].header.num, 3);
  EXPECT_EQ(frames[2].header.sessionId, 0x55u);
  EXPECT_EQ(device.connectionCount(), 1);
  second.connect(result);
  EXPECT_EQ(result, -1);  // registered already
  EXPECT_STREQ(second.getUrl(), url.c_str());
}

TEST_F(ZelClientTest, OwnAddressIsLearnedAtRegistration) {
  zelkit::ZelInputStream response;
  client->sendRequest(3000, kCommand, response);
  response.wait();
  EXPECT_EQ(ZelClient::getOwnAddress(), 0x7F000001u);
  EXPECT_STREQ(ZelClient::getOwnUrl(), "127.0.0.1");
  const unsigned char* mac = ZelClient::getOwnMacAddress();  // loopback belongs to no adapter
  EXPECT_EQ(mac, ZelClient::getOwnMacAddress());
  for (int i = 0; i < 6; ++i) EXPECT_EQ(mac[i], 0);
}

int referencesOf(ZelClient& client) { return zelkit::detail::Connection::getStatistics(0, &client); }

TEST_F(ZelClientTest, CopiesAndAssignmentsShareConnectionsAndCountThem) {
  zeltest::TestDevice otherDevice;
  otherDevice.addAccount("user", "pw");
  otherDevice.start();
  const std::string otherUrl = "zelp://user:pw@" + otherDevice.endpoint();
  ZelClient other(otherUrl.c_str(), 0x77, 5);

  ZelClient copy(*client);  // the connection, without the ids
  EXPECT_EQ(referencesOf(*client), 2);
  EXPECT_EQ(copy.getSessionId(), 0u);
  EXPECT_EQ(copy.getNum(), 0);

  copy = other;  // the other's connection and ids
  EXPECT_EQ(referencesOf(*client), 1);
  EXPECT_EQ(referencesOf(other), 2);
  EXPECT_STREQ(copy.getUrl(), otherUrl.c_str());
  EXPECT_EQ(copy.getSessionId(), 0x77u);
  EXPECT_EQ(copy.getNum(), 5);
  ZelClient& itself = copy;
  copy = itself;
  EXPECT_EQ(referencesOf(other), 2);
  {
    ZelClient temporary(copy);
    EXPECT_EQ(referencesOf(other), 3);
  }
  EXPECT_EQ(referencesOf(other), 2);

  zelkit::ZelInputStream response;
  zelkit::ZelOutputStream payload;
  copy.sendRequestSync(3000, kCommand, payload, response);
  const auto frame = otherDevice.waitForTag(kCommand, 1s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->header.sessionId, 0x77u);
  EXPECT_EQ(frame->header.num, 5);
  EXPECT_TRUE(device.framesWithTag(kCommand).empty());
}

// Creating a client, and registering message callbacks on it, sends the
// device nothing; a request or connect() opens the connection, and its
// login carries the message ids asked for meanwhile.
TEST(ZelClientConnecting, OnlyARequestOrConnectOpensTheConnection) {
  Recorder events;
  const unsigned long subscribed = 0x0A010030;
  auto registerCallbacks = [&](ZelClient& client) {
    client.registerMessageCallback(Recorder::callback, &events, &subscribed, 1);
    client.subscribeMessageCallback(Recorder::callback, &events, &subscribed, 1);
  };
  struct Case {
    const char* name;
    std::function<void(ZelClient&)> use;
    bool opens;
    std::vector<uint16_t> loginIds;
  };
  const Case cases[] = {
      {"created only", [](ZelClient&) {}, false, {}},
      {"message callbacks registered", registerCallbacks, false, {}},
      {"connect()", [](ZelClient& client) { client.connect(); }, true, {0xFF03}},
      {"a request", [](ZelClient& client) { client.sendRequest(3000, kCommand, nullptr, nullptr); }, true, {0xFF03}},
      {"message callbacks, then connect()",
       [&](ZelClient& client) {
         registerCallbacks(client);
         client.connect();
       },
       true,
       {0xFF03, 0x0A01}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::TestDevice device;
    device.start();
    ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    c.use(client);
    if (c.opens) {
      const auto login = device.waitForRegistration(5s);
      ASSERT_TRUE(login);
      EXPECT_EQ(login->outcome, zeltest::Registration::Outcome::Accepted);
      EXPECT_EQ(login->request.messageIds, c.loginIds);
    } else {
      std::this_thread::sleep_for(1500ms);  // two housekeeping passes
    }
    // Nothing else: no connection of its own for the message ids.
    EXPECT_EQ(device.connectionCount(), c.opens ? 1 : 0);
    EXPECT_EQ(device.registrations().size(), c.opens ? 1u : 0u);
    client.unregisterCallback(nullptr, &events);
  }
}

TEST(ZelClientWait, UnarmedStreamReturnsAtOnce) {
  zelkit::ZelInputStream stream;
  stream.wait();
  EXPECT_EQ(stream.available(), 0);
}

// A callback that blocks until told, on the worker or a dispatching thread.
struct Blocking {
  std::atomic<bool> running{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  ZelClient* client = nullptr;
  bool unregisterItself = false;
  static void callback(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    auto* self = static_cast<Blocking*>(context);
    self->running = true;
    if (self->unregisterItself) self->client->unregisterCallback(callback, self);  // returns at once
    while (!self->release) std::this_thread::sleep_for(5ms);
    self->finished = true;
  }
};

// Unregisters the running blocking callback, which is let go 300 ms later:
// the call returns only after the callback has.
void unregisterWhileItRuns(ZelClient& client, Blocking& blocking) {
  std::thread releaser([&] {
    std::this_thread::sleep_for(300ms);
    blocking.release = true;
  });
  client.unregisterCallback(Blocking::callback, &blocking);
  EXPECT_TRUE(blocking.finished.load());
  releaser.join();
}

TEST_F(ZelClientTest, UnregisterWaitsForTheRunningCallbackOfItsContext) {
  Blocking blocking;
  client->sendRequest(3000, kCommand, Blocking::callback, &blocking);
  ASSERT_TRUE(waitUntil([&] { return blocking.running.load(); }, 5s));
  unregisterWhileItRuns(*client, blocking);
}

TEST_F(ZelClientTest, UnregisterFromInsideTheCallbackDoesNotWait) {
  Blocking blocking;
  blocking.client = client.get();
  blocking.unregisterItself = true;
  blocking.release = true;
  client->sendRequest(3000, kCommand, Blocking::callback, &blocking);
  EXPECT_TRUE(waitUntil([&] { return blocking.finished.load(); }, 5s));
}

void noteNotification(void* context) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

TEST_F(ZelClientTest, UnregisterDropsQueuedCallbacksAndWaitsForADispatchedOne) {
  std::atomic<int> notifications{0};
  core().setCallbackNotificationHandler(noteNotification, &notifications);
  Recorder dropped;
  client->sendRequest(3000, kCommand, Recorder::callback, &dropped);
  Blocking blocking;
  client->sendRequest(3000, kCommand, Blocking::callback, &blocking);
  ASSERT_TRUE(waitUntil([&] { return notifications.load() == 2; }, 5s));

  client->unregisterCallback(Recorder::callback, &dropped);
  std::thread dispatcher([] {
    core().dispatchQueuedCallbacks();  // the blocking one: the dropped one is gone
  });
  ASSERT_TRUE(waitUntil([&] { return blocking.running.load(); }, 5s));
  unregisterWhileItRuns(*client, blocking);
  dispatcher.join();
  core().dispatchQueuedCallbacks();
  EXPECT_EQ(dropped.count(), 0u);
}

Recorder contextless;
void recordContextless(void*, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
  contextless.record(header, stream);
}
void neverRegistered(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) {}

// Three asynchronous requests, queued (the device never logs the client in)
// or pending (sent, never answered), and a synchronous one: unregistering
// drops the completions of its context whatever their function, and with a
// null context every pending one; a waiting caller still gets its error.
TEST(ZelClientUnregister, DropsTheRequestsOfItsContextWhateverTheirFunction) {
  struct Case {
    const char* name;
    bool pending;
    bool nullContext;
    bool dropsMine;
    bool dropsOthers;
    bool dropsContextless;
  };
  const Case cases[] = {
      {"pending, another function of the context", true, false, true, false, false},
      {"pending, null context", true, true, true, true, true},
      {"queued, another function of the context", false, false, true, false, false},
      {"queued, null context", false, true, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::TestDevice device;
    device.setRule(kCommand, zeltest::Rule::silent());
    device.setSilent(!c.pending);
    device.start();
    ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    Recorder mine;
    Recorder others;
    const size_t contextlessBefore = contextless.count();
    client.sendRequest(1000, kCommand, Recorder::callback, &mine);
    client.sendRequest(1000, kCommand, Recorder::callback, &others);
    client.sendRequest(1000, kCommand, recordContextless, nullptr);
    zelkit::ZelInputStream response;
    client.sendRequest(1000, kCommand, response);
    if (c.pending) {
      ASSERT_TRUE(waitUntil([&] { return device.framesWithTag(kCommand).size() == 4; }, 5s));
    }

    client.unregisterCallback(neverRegistered, c.nullContext ? nullptr : &mine);
    try {
      response.wait();
      ADD_FAILURE() << "no exception";
    } catch (zelkit::Exception* exception) {
      EXPECT_EQ(exception->code, zelkit::ResponseTimeout);
    }
    // Every request expired in the pass that failed the waiting caller.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(mine.count(), c.dropsMine ? 0u : 1u);
    EXPECT_EQ(others.count(), c.dropsOthers ? 0u : 1u);
    EXPECT_EQ(contextless.count() - contextlessBefore, c.dropsContextless ? 0u : 1u);
  }
}

// With a notification handler, what waits in the callback queue or as a
// local notification is dropped too: under a null context the request
// completions of the connection, not its messages.
TEST(ZelClientUnregister, DropsQueuedDeliveriesAndLocalNotifications) {
  std::atomic<int> notifications{0};
  core().setCallbackNotificationHandler(noteNotification, &notifications);
  zeltest::TestDevice device;
  device.start();
  Recorder events;
  Recorder replies;
  std::optional<ZelClient> connected;
  {
    // Listening before the login can end: its event is posted only to the
    // callbacks registered by then.
    zelkit::detail::GlobalLock lock;
    connected.emplace(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    connected->registerMessageCallback(Recorder::callback, &events);
    connected->sendRequest(3000, kCommand, Recorder::callback, &replies);
  }
  ZelClient& client = *connected;
  ASSERT_TRUE(waitUntil([&] { return notifications.load() == 2; }, 5s));  // Registered, the reply
  ASSERT_TRUE(device.pushMessage(0, 0x0A010030, 1));
  ASSERT_TRUE(waitUntil([&] { return notifications.load() == 3; }, 5s));

  client.unregisterCallback(nullptr, nullptr);
  while (notifications.load() > 0) {
    core().dispatchQueuedCallbacks();
    notifications.fetch_sub(1);
  }
  EXPECT_EQ(replies.count(), 0u);
  ASSERT_EQ(events.count(), 2u);
  EXPECT_EQ(events.deliveries()[0].tag, zelkit::detail::LocalEvent::Registered);
  EXPECT_EQ(events.deliveries()[1].tag, 0x0A010030u);

  {
    // Posted for the next pass, and gone before it.
    zelkit::detail::GlobalLock lock;
    client.disconnect();
    client.unregisterCallback(nullptr, &events);
  }
  std::this_thread::sleep_for(1500ms);
  core().dispatchQueuedCallbacks();
  EXPECT_EQ(notifications.load(), 0);
  EXPECT_EQ(events.count(), 2u);
}

}  // namespace
