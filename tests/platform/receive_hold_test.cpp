// A socket whose receives a waiting thread takes off the port: the port
// must not see (nor wake for) its input meanwhile, the holder performs the
// receive itself, and what arrives during the hold reaches the port once
// the socket is given back.
#include "platform/receive_hold.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "loopback.h"
#include "platform/errors.h"
#include "platform/socket_table.h"

namespace zelkit::platform {
namespace {

using namespace loopback;
using Outcome = ReceiveHold::Outcome;
using Take = ReceiveHold::Take;

constexpr uint32_t NothingMs = 100;

void sendPlain(int fd, const char* text) { ASSERT_EQ(::send(fd, text, std::strlen(text), 0), static_cast<ssize_t>(std::strlen(text))); }

struct HeldReceive {
  Connection connection;
  uint8_t buffer[16] = {};
  Overlapped operation;
  ReceiveHold hold;

  HeldReceive() {
    while (nextCompletion(0).operation != nullptr) {
    }  // what earlier tests of the process left on the shared port
    require(associateSocket(testPort(), connection.layer, 3), "associate");
    require(startReceive(connection.layer, buffer, sizeof buffer, &operation) == 0, "receive");
    require(hold.hold(connection.layer), "hold");
  }
};

TEST(ReceiveHold, HolderPerformsTheReceiveThePortNeverSees) {
  HeldReceive held;
  Completion completion;
  EXPECT_EQ(held.hold.takeReceive(&held.operation, completion), Take::WaitForInput);  // nothing there yet
  sendPlain(held.connection.peer, "reply");
  EXPECT_EQ(held.hold.waitForInput(5000), Outcome::Input);
  ASSERT_EQ(held.hold.takeReceive(&held.operation, completion), Take::Taken);
  EXPECT_TRUE(completion.ok);
  EXPECT_EQ(completion.operation, &held.operation);
  EXPECT_EQ(completion.key, 3u);
  EXPECT_EQ(completion.bytes, 5u);
  EXPECT_EQ(std::memcmp(held.buffer, "reply", 5), 0);
  // The next receive, started with its bytes there already, waits for the
  // holder too.
  sendPlain(held.connection.peer, "more");
  ASSERT_EQ(held.hold.waitForInput(5000), Outcome::Input);
  ASSERT_EQ(startReceive(held.connection.layer, held.buffer, sizeof held.buffer, &held.operation), 0u);
  EXPECT_EQ(nextCompletion(NothingMs).operation, nullptr);
  ASSERT_EQ(held.hold.takeReceive(&held.operation, completion), Take::Taken);
  EXPECT_EQ(completion.bytes, 4u);
}

TEST(ReceiveHold, InputDuringTheHoldReachesThePortOnceGivenBack) {
  HeldReceive held;
  sendPlain(held.connection.peer, "late");
  EXPECT_EQ(nextCompletion(NothingMs).operation, nullptr);  // the port does not look while held
  held.hold.release();
  const Completion completion = nextCompletion();
  EXPECT_EQ(completion.operation, &held.operation);
  EXPECT_EQ(completion.bytes, 4u);
}

TEST(ReceiveHold, AReceiveThePortPerformedBeforeTheHoldIsWaitedForWithoutWatchingInput) {
  Connection connection;
  uint8_t buffer[16] = {};
  Overlapped operation;
  while (nextCompletion(0).operation != nullptr) {
  }
  require(associateSocket(testPort(), connection.layer, 3), "associate");
  sendPlain(connection.peer, "early");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(startReceive(connection.layer, buffer, sizeof buffer, &operation), 0u);  // performed at once
  ReceiveHold hold;
  ASSERT_TRUE(hold.hold(connection.layer));
  Completion completion;
  EXPECT_EQ(hold.takeReceive(&operation, completion), Take::NotHere);
  sendPlain(connection.peer, "more");  // the socket stays readable
  hold.clearWakeups();
  EXPECT_EQ(hold.waitForWakeUp(50), Outcome::TimedOut);
  EXPECT_EQ(hold.waitForInput(5000), Outcome::Input);
  signalWakeDescriptor(hold.wakeDescriptor());
  EXPECT_EQ(hold.waitForWakeUp(5000), Outcome::Woken);
  hold.release();
  EXPECT_EQ(nextCompletion().bytes, 5u);  // the port's, as it was
}

TEST(ReceiveHold, ASecondHoldOfTheSocketIsRefused) {
  HeldReceive held;
  ReceiveHold other;
  EXPECT_FALSE(other.hold(held.connection.layer));
  held.hold.release();
  EXPECT_TRUE(other.hold(held.connection.layer));
}

TEST(ReceiveHold, WaitEndsWhenWokenClosedOrTimedOut) {
  struct Case {
    const char* name;
    Outcome expected;
  } const cases[] = {{"woken", Outcome::Woken}, {"closed", Outcome::Closed}, {"timed out", Outcome::TimedOut}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HeldReceive held;
    held.hold.clearWakeups();
    const int wakeFd = held.hold.wakeDescriptor();
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (c.expected == Outcome::Woken) signalWakeDescriptor(wakeFd);
      if (c.expected == Outcome::Closed) closeSocket(held.connection.layer);
    });
    EXPECT_EQ(held.hold.waitForInput(c.expected == Outcome::TimedOut ? 50 : 5000), c.expected);
    other.join();
    if (c.expected == Outcome::Closed) {
      held.hold.release();
      EXPECT_EQ(nextCompletion().status, status::OperationAborted);  // the close completed the receive
      held.connection.layer = InvalidSocket;
    }
  }
}

}  // namespace
}  // namespace zelkit::platform
