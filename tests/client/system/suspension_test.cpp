#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "client/scanner/scan_test_util.h"
#include "core/engine/core.h"
#include "core/log/logging_test_util.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/scanner.h"
#include "zelkit/system.h"

namespace {

using namespace scantest;
using zelkit::System;
using zelkit::ZelClient;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kConnectionClosed = 0x00110020;

int activeConnections() { return System::getInfo(System::InfoActiveConnections, nullptr, nullptr); }

// A request by MAC through the pseudo connection "127.1.1.1", answered by a
// device on the broadcast port; true when the reply came back.
bool requestByMacIsAnswered(zeltest::UdpPeer& devices) {
  static const uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
  Recorder answered;
  const int sequence = zelkit::NetworkScanner::sendRequest(2000, mac, kCommand, 0, 0, Recorder::callback, &answered);
  const auto request = devices.receive(2s);
  if (!request) return false;
  zeltest::FrameHeader header;
  header.tag = kCommand;
  header.modeByte = zeltest::kModeReply;
  header.transactionId = static_cast<uint8_t>(sequence);
  const Bytes frame = zeltest::encodeFrame(header, {});
  devices.sendTo(Bytes(frame.begin() + 4, frame.end()), request->from);
  const auto reply = answered.waitFor(kCommand, 3s);
  return reply && reply->errorCode == 0;
}

using SuspensionTest = PrivateNetworkTest;

TEST_F(SuspensionTest, SuspendClosesEveryConnectionAndResumeReconnectsThoseWithCallbacks) {
  const auto logs = loggingtest::temporaryDirectory("suspend");
  System::setLoggingDirectory(logs.c_str());
  zeltest::TestDevice watched;
  zeltest::TestDevice plain;
  for (zeltest::TestDevice* device : {&watched, &plain}) {
    device->addAccount("user", "pw");
    device->start();
  }
  const std::string watchedUrl = "zelp://user:pw@" + watched.endpoint();
  const std::string plainUrl = "zelp://user:pw@" + plain.endpoint();
  ZelClient withCallbacks(watchedUrl.c_str(), 0, 0);
  ZelClient without(plainUrl.c_str(), 0, 0);
  Recorder events;
  withCallbacks.registerMessageCallback(Recorder::callback, &events);
  for (ZelClient* client : {&withCallbacks, &without}) {
    zelkit::ZelInputStream reply;
    client->sendRequestSync(3000, kCommand, zelkit::detail::emptyPayload(), reply);
  }
  zeltest::UdpPeer devices(kDiscoveryPort);
  ASSERT_TRUE(requestByMacIsAnswered(devices));
  ASSERT_EQ(activeConnections(), 2);

  System::setSuspendState(System::SuspendSending);  // only stored
  EXPECT_EQ(System::getSuspendState(), System::SuspendSending);
  EXPECT_EQ(activeConnections(), 2);

  System::setSuspendState(System::SuspendConnections);
  EXPECT_EQ(System::getSuspendState(), System::SuspendConnections);
  EXPECT_EQ(activeConnections(), 0);
  EXPECT_TRUE(watched.waitForClosed(0, 3s));
  EXPECT_TRUE(plain.waitForClosed(0, 3s));
  EXPECT_TRUE(events.waitFor(kConnectionClosed, 3s));
  for (const zeltest::TestDevice* device : {&watched, &plain}) {
    const std::string log = loggingtest::readFile(logs / ("127.0.0.1_" + std::to_string(device->port()) + ".log"));
    EXPECT_NE(log.find("fin  Suspend\n"), std::string::npos) << device->port();
  }
  // The pseudo connection is no TCP connection: it stays as it was.
  EXPECT_EQ(loggingtest::readFile(logs / "127.1.1.1.log").find("Suspend"), std::string::npos);

  System::setSuspendState(System::SuspendNone);
  EXPECT_TRUE(watched.waitForConnectionCount(2, 5s));
  EXPECT_TRUE(enginetest::waitUntil([] { return activeConnections() == 1; }, 5s));
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(plain.connectionCount(), 1);  // no callbacks: it waits for its next request
  EXPECT_TRUE(requestByMacIsAnswered(devices));
  EXPECT_EQ(activeConnections(), 1);
  System::unregisterCallback(Recorder::callback, &events);
}

void blockTheWorker(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) { std::this_thread::sleep_for(1s); }

// The worker ends before it runs the timer the suspension waits for.
TEST(SuspensionAfterTerminate, ReturnsAlthoughTheWorkerHasEnded) {
  zelkit::ZelOutputStream none;
  System::setTimer(1, 0, blockTheWorker, nullptr, none);
  std::this_thread::sleep_for(800ms);  // the worker is in the callback now
  std::atomic<bool> returned{false};
  std::thread suspender([&] {
    System::setSuspendState(System::SuspendConnections);
    returned = true;
  });
  suspender.detach();  // a hang must not take the test with it
  std::this_thread::sleep_for(100ms);
  System::terminate();
  EXPECT_TRUE(enginetest::waitUntil([&] { return returned.load(); }, 5s));
}

}  // namespace
