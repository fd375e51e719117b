#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "client/scanner/scan_test_util.h"
#include "core/log/logging_test_util.h"
#include "support/child_process.h"
#include "zelkit/scanner.h"

namespace {

using namespace scantest;

using ScanRequestOracle = PrivateNetworkTest;

// tshark, capturing on the namespace's loopback, reads the scan request as
// a well-formed UDP datagram of 12 bytes to the discovery port.
TEST_F(ScanRequestOracle, TsharkDissectsTheRequest) {
  const auto work = loggingtest::temporaryDirectory("tshark");
  const std::string errors = (work / "stderr").string();
  const std::string capture =
      "tshark -i lo -f 'udp port 1757' -c 1 -a duration:10 -V 2>" + errors;
  auto dissection = std::async(std::launch::async, [&] {
    return zeltest::runProcess({"sh", "-c", capture}, "", 15s);
  });
  ASSERT_TRUE(enginetest::waitUntil(
      [&] { return loggingtest::readFile(errors).find("Capture started") != std::string::npos; }, 10s))
      << "tshark did not start (package tshark): " << loggingtest::readFile(errors);
  // tshark may see the first request or not, depending on when its filter
  // is in place: each scan sends one more until it has taken one.
  Recorder subscriber;
  do zelkit::NetworkScanner::triggerScan(0, 0x5A, 0xA5, Recorder::callback, &subscriber);
  while (dissection.wait_for(2500ms) != std::future_status::ready);
  const zeltest::ProcessResult result = dissection.get();
  ASSERT_EQ(result.exitStatus, 0) << loggingtest::readFile(errors);
  const std::string& text = result.output;
  for (const char* expected : {"Destination Address: 255.255.255.255", "Destination Port: 1757", "Source Port: 1758",
                               "Length: 20", "Data (12 bytes)", "[Checksum Status: Unverified]"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
  // The data: the magic, the scan id, the two request bytes, reply port 1758 (06de).
  std::string data;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("    Data: ", 0) == 0) data = line.substr(10);
  ASSERT_EQ(data.size(), 24u) << text;
  EXPECT_EQ(data.substr(0, 8), "9939a427");
  EXPECT_EQ(data.substr(16), "5aa506de");
}

}  // namespace
