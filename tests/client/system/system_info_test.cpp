#include <gtest/gtest.h>

#include <string>

#include "core/engine/engine_test_util.h"
#include "core/log/logging_test_util.h"
#include "core/engine/core.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/system.h"

namespace {

using namespace std::chrono_literals;
using zelkit::System;
using zelkit::ZelClient;

int info(System::SystemInfo item, void* data = nullptr) { return System::getInfo(item, data, nullptr); }

// The range can be set once per process; a base of 0 sets nothing.
TEST(SystemUdpPortBase, TheFirstNonZeroBaseStays) {
  struct Step {
    unsigned short base;
    unsigned short limit;
    int result;
  };
  const Step steps[] = {{0, 0, 0}, {41000, 41003, 0}, {5000, 5100, -1}, {0, 0, -1}};
  for (const Step& step : steps) EXPECT_EQ(System::setUdpPortBase(step.base, step.limit), step.result) << step.base;
  zelkit::detail::core().ensureInitialized();
  uint16_t port = 0;
  const auto socket = zelkit::detail::core().getUdpSocket(AF_INET, 0, &port, false);
  EXPECT_EQ(ntohs(port), 41000);  // from the first range
  zelkit::platform::closeSocket(socket);
}

TEST(SystemInfo, ItemsReportTheEngine) {
  const auto logs = loggingtest::temporaryDirectory("info");
  System::setLoggingDirectory(logs.c_str());  // makes the pseudo connection, which is never active
  zeltest::TestDevice device;
  device.addAccount("user", "pw");
  device.start();
  const std::string url = "zelp://user:pw@" + device.endpoint();
  ZelClient first(url.c_str(), 0, 0);
  ZelClient second(url.c_str(), 0, 0);
  ZelClient other("zelp://127.0.0.1:1", 0, 0);
  zelkit::ZelInputStream reply;
  first.sendRequestSync(3000, 0x0A370C31, zelkit::detail::emptyPayload(), reply);

  EXPECT_EQ(info(System::InfoClientReferences, &first), 2);
  EXPECT_EQ(info(System::InfoClientReferences, &other), 1);
  EXPECT_EQ(info(System::InfoClientReferences), 2 + 1 + 1);  // and the pseudo connection's own
  EXPECT_TRUE(enginetest::waitUntil([] { return info(System::InfoActiveConnections) == 1; }, 5s))
      << "the refused one goes back to idle";

  const int timers = info(System::InfoTimerCount);
  const int packets = info(System::InfoPacketsInUse);
  zelkit::ZelOutputStream none;
  System::setTimer(60000, 0, enginetest::Recorder::callback, &none, none);
  EXPECT_EQ(info(System::InfoTimerCount), timers + 1);
  EXPECT_EQ(info(System::InfoPacketsInUse), packets);  // timers are not counted as packets in use
  {
    zelkit::ZelOutputStream held;
    held.writeULong(1);
    EXPECT_EQ(info(System::InfoPacketsInUse), packets + 1);
  }
  EXPECT_EQ(info(System::InfoPacketsInUse), packets);

  System::AppLogRecord line{&first, "value %d and %d", 7, 9};
  EXPECT_EQ(info(System::InfoAppLog, &line), 0);
  System::AppLogRecord systemLine{nullptr, "system %d%d", 4, 2};
  EXPECT_EQ(info(System::InfoAppLog, &systemLine), 0);
  const std::string deviceLog = "127.0.0.1_" + std::to_string(device.port()) + ".log";
  EXPECT_NE(loggingtest::readFile(logs / deviceLog).find("app  value 7 and 9\n"), std::string::npos);
  EXPECT_NE(loggingtest::readFile(logs / "127.1.1.1.log").find("app  system 42\n"), std::string::npos);

  EXPECT_EQ(info(System::InfoAppLog), -1);
  EXPECT_EQ(info(static_cast<System::SystemInfo>(5)), -1);
}

}  // namespace
