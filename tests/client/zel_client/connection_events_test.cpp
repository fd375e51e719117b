// The library's own events about a connection, as a registered message
// callback receives them: one per occurrence, in the order things happened.

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/engine_test_util.h"
#include "support/private_network.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"
#include "zelkit/system.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
namespace LocalEvent = zelkit::detail::LocalEvent;

constexpr uint32_t kCommand = 0x0A370C31;

// The error code a synchronous request ends with; 0 for a reply.
int outcomeOf(zelkit::ZelClient& client, int timeoutMs) {
  zelkit::ZelInputStream response;
  client.sendRequest(timeoutMs, kCommand, response);
  try {
    response.wait();
  } catch (zelkit::Exception* failure) {
    return failure->code;
  }
  return 0;
}

std::string hexList(const std::vector<uint32_t>& tags) {
  std::string text;
  char word[10];
  for (const uint32_t tag : tags) {
    std::snprintf(word, sizeof word, " %08x", static_cast<unsigned>(tag));
    text += word;
  }
  return text;
}

std::string eventsOf(const Recorder& recorder) {
  std::vector<uint32_t> tags;
  for (const Delivery& delivery : recorder.deliveries()) tags.push_back(delivery.tag);
  return hexList(tags);
}

int activeConnections() { return zelkit::System::getInfo(zelkit::System::InfoActiveConnections, nullptr, nullptr); }

enum class Peer { ClosedPort, UnknownName, GoesAway };

TEST(ConnectionEvents, EachComesOncePerOccurrenceInTheOrderItHappened) {
  // The unknown name is looked up for real: its query must not leave the
  // machine, and fails at once where there is no route.
  ASSERT_EQ(zeltest::enterLoopbackOnlyNetwork(), "");
  struct Case {
    const char* name;
    Peer peer;
    int lastOutcome;  // error code of the request made last
    std::vector<uint32_t> events;
  };
  const Case cases[] = {
      // The refused connect resets the request, thrown as the unknown error.
      {"closed port", Peer::ClosedPort, zelkit::UnknownError, {LocalEvent::ConnectFailed}},
      // The request waits on the idle connection for its time-out.
      {"unknown name", Peer::UnknownName, zelkit::ResponseTimeout, {LocalEvent::ResolveFailed}},
      // Logged in, then the device closes and listens no more; the next
      // request's connect is refused.
      {"device that goes away",
       Peer::GoesAway,
       zelkit::UnknownError,
       {LocalEvent::Registered, LocalEvent::ConnectionClosed, LocalEvent::ConnectFailed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto device = std::make_unique<zeltest::TestDevice>();
    std::string host;
    switch (c.peer) {
      case Peer::ClosedPort:
        host = "127.0.0.1:" + std::to_string(closedPort());
        break;
      case Peer::UnknownName:
        host = "nosuch.invalid";
        break;
      case Peer::GoesAway:
        device->start();
        host = device->endpoint();
        break;
    }
    zelkit::ZelClient client(("zelp://HookOn1@" + host).c_str(), 0, 0);
    Recorder events;
    client.registerMessageCallback(Recorder::callback, &events);
    // Time for whatever creating the client and registering would start.
    std::this_thread::sleep_for(200ms);
    if (c.peer == Peer::GoesAway) {
      ASSERT_EQ(outcomeOf(client, 3000), 0);
      device.reset();  // closes its connection and its listening socket
      ASSERT_TRUE(waitUntil([] { return activeConnections() == 0; }, 5s));  // the close was seen
    }
    EXPECT_EQ(outcomeOf(client, 1000), c.lastOutcome);
    ASSERT_TRUE(events.waitForCount(c.events.size(), 5s)) << eventsOf(events);
    std::this_thread::sleep_for(1500ms);  // two more housekeeping passes: nothing follows
    EXPECT_EQ(eventsOf(events), hexList(c.events));
    client.unregisterCallback(nullptr, &events);
  }
}

}  // namespace
