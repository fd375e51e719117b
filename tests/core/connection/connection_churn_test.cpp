// Connections closed and reopened while completions of their old sockets
// are still on their way: nothing of an old socket may reach the new one.

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
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
#include "zelkit/server.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::ZelClient;
using zelkit::detail::Connection;
using zelkit::detail::ConnectionState;
using zelkit::detail::core;
using zelkit::detail::GlobalLock;
namespace LocalEvent = zelkit::detail::LocalEvent;

constexpr uint32_t kCommand = 0x0A370C31;

zeltest::Bytes payloadOf(int index, size_t size) {
  zeltest::Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(index * 7 + i);
  return bytes;
}

// Requests numbered 0..total-1 against an echo device; every completion
// records its outcome and, from the worker, submits the next request, so
// that a request made in a reset's callbacks reconnects at once.
class EchoPump {
 public:
  EchoPump(ZelClient& client, int total, size_t payloadSize, int timeoutMs)
      : client_(client), payloadSize_(payloadSize), timeoutMs_(timeoutMs), outcomes_(static_cast<size_t>(total)) {}

  void submit() {
    const int index = next_.fetch_add(1);
    if (index >= static_cast<int>(outcomes_.size())) return;
    const zeltest::Bytes bytes = payloadOf(index, payloadSize_);
    zelkit::ZelOutputStream payload(bytes.data(), static_cast<int>(bytes.size()));
    contexts_[static_cast<size_t>(index)] = {this, index};
    client_.sendRequest(timeoutMs_, kCommand, payload, callback, &contexts_[static_cast<size_t>(index)]);
  }
  void start(int outstanding) {
    contexts_.resize(outcomes_.size());
    for (int i = 0; i < outstanding; ++i) submit();
  }
  bool waitForAll(milliseconds timeout) {
    return waitUntil([&] { return finished(); }, timeout);
  }
  bool finished() const { return completed_.load() >= static_cast<int>(outcomes_.size()); }
  int answeredCount() const { return answered_.load(); }

  // Each request completed once: with its own payload, or with the reset or
  // time-out of a connection that went away under it.
  void expectEachCompletedOnceWithItsOwnReply() const {
    std::lock_guard<std::mutex> guard(mutex_);
    int answered = 0;
    for (size_t index = 0; index < outcomes_.size(); ++index) {
      const Outcome& outcome = outcomes_[index];
      ASSERT_EQ(outcome.deliveries, 1) << "request " << index;
      if (outcome.errorCode == 0) {
        ++answered;
        EXPECT_TRUE(outcome.ownPayload) << "request " << index;
      } else {
        EXPECT_TRUE(outcome.errorCode == zelkit::ConnectionReset || outcome.errorCode == zelkit::ResponseTimeout)
            << "request " << index << " error " << outcome.errorCode;
      }
    }
    EXPECT_GT(answered, 0);
  }

 private:
  struct Context {
    EchoPump* pump;
    int index;
  };
  struct Outcome {
    int deliveries = 0;
    int errorCode = 0;
    bool ownPayload = false;
  };

  // The count of completions is the last thing a callback touches: once
  // all are in, the pump may go.
  static void callback(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
    const auto* self = static_cast<Context*>(context);
    self->pump->submit();
    self->pump->record(self->index, header, stream);
  }
  void record(int index, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
    zeltest::Bytes received(static_cast<size_t>(stream.available()));
    if (!received.empty()) stream.read(received.data(), stream.available());
    {
      std::lock_guard<std::mutex> guard(mutex_);
      Outcome& outcome = outcomes_[static_cast<size_t>(index)];
      ++outcome.deliveries;
      outcome.errorCode = header.errorCode;
      outcome.ownPayload = header.errorCode == 0 && received == payloadOf(index, payloadSize_);
    }
    if (header.errorCode == 0) answered_.fetch_add(1);
    completed_.fetch_add(1);
  }

  ZelClient& client_;
  const size_t payloadSize_;
  const int timeoutMs_;
  std::atomic<int> next_{0};
  std::atomic<int> completed_{0};
  std::atomic<int> answered_{0};
  mutable std::mutex mutex_;
  std::vector<Outcome> outcomes_;
  std::vector<Context> contexts_;
};

// The device answers five large requests on each connection and resets it
// on the sixth, while large replies are still arriving; the client's next
// request, made in the reset's callbacks, reconnects at once. A receive
// that completed on the old socket must not be applied to the new one
// (under the address sanitizer it overran the receive buffer).
TEST(ConnectionChurn, ResetMidTransferThenPromptReconnect) {
  constexpr int kRounds = 8;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    zeltest::TestDevice device;
    zeltest::Rule echo = zeltest::Rule::echo();
    echo.resetAfter = 5;
    device.setRule(kCommand, echo);
    device.setRecordPayloads(false);
    device.start();
    ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    // Eight in flight: more than the six a connection takes, so the reset
    // meets replies still arriving; a wider window only adds requests that
    // the reset throws away.
    EchoPump pump(client, 100, 200000, 20000);
    pump.start(8);
    ASSERT_TRUE(pump.waitForAll(120s));
    pump.expectEachCompletedOnceWithItsOwnReply();
    EXPECT_GT(device.connectionCount(), 1);
    EXPECT_TRUE(device.protocolErrors().empty());
  }
}

// Bytes the library has not yet read from its socket.
int unreadBytes(zelkit::platform::Socket socket) {
  int count = -1;
  ::ioctl(socket, FIONREAD, &count);
  return count;
}

// The same sequence made deterministic: a reply is read on the old socket
// while the worker waits for the lock; the connection is closed and
// reconnected before the worker gets to that receive.
TEST(ConnectionChurn, ReceiveOfTheOldSocketNeverReachesTheNewOne) {
  RawPeer peer;
  const std::string url = peer.url("HookOn1@");
  ZelClient client(url.c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(peer.acceptAndRegister(5s));
  Connection* connection;
  {
    GlobalLock lock;
    connection = core().getConnection(url.c_str());
  }
  ASSERT_TRUE(waitUntil(
      [&] {
        GlobalLock lock;
        return connection->state == ConnectionState::Registered;
      },
      5s));
  Recorder replies;
  client.sendRequest(60000, kCommand, Recorder::callback, &replies);
  const auto request = peer.readUntil(kCommand, 5s);
  ASSERT_TRUE(request);
  {
    GlobalLock lock;
    ASSERT_TRUE(peer.reply(request->header, {0xAB}));
    ASSERT_TRUE(waitUntil([&] { return unreadBytes(connection->socketHandle) == 0; }, 5s));
    connection->close(LocalEvent::ConnectionClosed, "Test", 0);
    connection->connect();
  }
  // The request went with its socket: it is reset, never answered by the
  // reply of the old socket.
  const auto outcome = replies.waitFor(kCommand, 5s);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->errorCode, zelkit::ConnectionReset);
  // The new socket is healthy.
  peer.closeConnection();
  ASSERT_TRUE(peer.acceptAndRegister(5s));
  Recorder later;
  client.sendRequest(60000, kCommand, Recorder::callback, &later);
  const auto next = peer.readUntil(kCommand, 5s);
  ASSERT_TRUE(next);
  ASSERT_TRUE(peer.reply(next->header, {0xCD}));
  const auto answer = later.waitFor(kCommand, 5s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->errorCode, 0);
  EXPECT_EQ(answer->payload, zeltest::Bytes{0xCD});
  EXPECT_EQ(replies.count(), 1u);
}

// An accepted socket closed while a receive of it waits for the worker: the
// dropped completion still lets go of the session, which then ends and
// takes its connection along.
TEST(ConnectionChurn, DroppedCompletionOfAnAcceptedSocketReleasesItsSession) {
  zelkit::ZelServer server;
  const uint16_t port = closedPort();
  core().startServer(port, true);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "zelp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  auto find = [&]() -> Connection* {
    GlobalLock lock;
    for (Connection* connection = core().connectionList().first(); connection != nullptr;
         connection = connection->next)
      if (url == connection->url) return connection;
    return nullptr;
  };
  // Its first receive must be posted before the lock is held: the worker
  // posts it under the lock.
  ASSERT_TRUE(waitUntil(
      [&] {
        GlobalLock lock;
        Connection* connection = find();
        return connection != nullptr && connection->receiveTicket != 0;
      },
      5s));
  {
    GlobalLock lock;
    Connection* connection = find();
    const uint8_t bytes[] = {3, 0, 0, 20};
    ASSERT_EQ(::send(fd, bytes, sizeof bytes, 0), 4);
    ASSERT_TRUE(waitUntil([&] { return unreadBytes(connection->socketHandle) == 0; }, 5s));
    connection->close(LocalEvent::ConnectionClosed, "Test", 0);
  }
  EXPECT_TRUE(waitUntil([&] { return find() == nullptr; }, 5s));
  ::close(fd);
}

// Requests from several threads and from callbacks while another thread
// closes the connection at random moments and the device resets it now and
// then: every request completes exactly once, with its own reply or an
// error, and the connection works afterwards. Run under the address and
// thread sanitizers.
//
// Each close waits until the pump whose turn it is has had a reply since
// the previous close, then comes at a random moment: a close spaced only
// by time would, in a slow build, reset every connection before one large
// request got through, and a pump that got no reply at all shows nothing.
TEST(ConnectionChurn, CloseAndReopenWhileCompletionsAreInFlight) {
  zeltest::TestDevice device;
  zeltest::Rule echo = zeltest::Rule::echo();
  echo.resetAfter = 40;
  device.setRule(kCommand, echo);
  device.setRecordPayloads(false);
  device.start();
  const std::string url = "zelp://HookOn1@" + device.endpoint();
  ZelClient client(url.c_str(), 0, 0);
  constexpr int kThreads = 3;
  std::vector<std::unique_ptr<EchoPump>> pumps;
  for (int i = 0; i < kThreads; ++i)
    pumps.push_back(std::make_unique<EchoPump>(client, 400, static_cast<size_t>(1000 + 40000 * i), 10000));
  std::atomic<bool> done{false};
  std::thread closer([&] {
    std::mt19937 random(7);
    for (size_t turn = 0; !done.load(); ++turn) {
      const EchoPump& pump = *pumps[turn % pumps.size()];
      const int answered = pump.answeredCount();
      waitUntil([&] { return done.load() || pump.finished() || pump.answeredCount() > answered; }, 120s);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
      client.disconnect();
    }
  });
  std::vector<std::thread> starters;
  for (auto& pump : pumps) starters.emplace_back([&pump] { pump->start(16); });
  for (std::thread& starter : starters) starter.join();
  bool allDone = true;
  for (auto& pump : pumps) allDone = pump->waitForAll(120s) && allDone;
  done = true;
  closer.join();
  ASSERT_TRUE(allDone);
  for (auto& pump : pumps) pump->expectEachCompletedOnceWithItsOwnReply();
  zelkit::ZelInputStream response;
  zelkit::ZelOutputStream payload(payloadOf(1, 10).data(), 10);
  client.sendRequestSync(10000, kCommand, payload, response);
  EXPECT_EQ(response.available(), 10);
}

}  // namespace
