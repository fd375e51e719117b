// The example program examples/network_scan, run as a user runs it, against
// devices on plain sockets in a network namespace of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "client/scanner/scan_test_util.h"
#include "support/child_process.h"

namespace {

using namespace scantest;
using zeltest::ProcessResult;
using zeltest::UdpPeer;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    result.push_back(text.substr(start, end - start));
  return result;
}

using NetworkScanExample = PrivateNetworkTest;

// A device answering in both formats, with an HTTP port other than 80, has
// two records on one address; it is still one device.
TEST_F(NetworkScanExample, PrintsEachDeviceOnceByAddress) {
  UdpPeer devices(kDiscoveryPort);
  ProcessResult result;
  std::thread scan([&] {
    std::vector<std::string> argv;
    if (std::string emulator = ZELKIT_TEST_EMULATOR; !emulator.empty()) argv.push_back(emulator);
    argv.push_back(ZELKIT_NETWORK_SCAN);
    result = zeltest::runProcess(argv, "", 30s);
  });
  const auto request = devices.receive(20s);
  if (request) {
    const Mac both{0x00, 0x07, 0x5f, 0, 0, 0xA1};
    answer(devices, *request, binaryReply(*request, both, "10.0.0.5"));
    answer(devices, *request, bytesOf(xmlText("10.0.0.5", "00-07-5f-00-00-a1", 8080)));
    answer(devices, *request, binaryReply(*request, Mac{0x00, 0x07, 0x5f, 0, 0, 0xB2}, "10.0.0.7"));
  }
  scan.join();
  ASSERT_TRUE(request) << "no scan request";
  ASSERT_EQ(result.exitStatus, 0) << result.output;

  // The two records of 10.0.0.5 may come in either order.
  std::vector<std::string> printed = lines(result.output);
  ASSERT_FALSE(printed.empty()) << result.output;
  EXPECT_EQ(printed.front(), "10.0.0.5") << result.output;
  EXPECT_EQ(printed.back(), "2 devices") << result.output;
  std::vector<std::string> expected = {
      "10.0.0.5",
      "  mac 00-07-5f-00-00-a1  type 0x21  mask 255.255.255.0",
      "  " + xmlText("10.0.0.5", "00-07-5f-00-00-a1", 8080),
      "10.0.0.7",
      "  mac 00-07-5f-00-00-b2  type 0x21  mask 255.255.255.0",
      "2 devices",
  };
  std::sort(printed.begin(), printed.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(printed, expected) << result.output;
}

}  // namespace
