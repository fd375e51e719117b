// How an upload ends: the device's answer, an abort, a failed start.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/firmware/firmware_device.h"
#include "client/firmware/firmware_upload.h"
#include "client/firmware/upload_test_util.h"
#include "support/external_tool.h"
#include "support/log_lines.h"
#include "zelkit/system.h"

namespace {

using namespace fwtest;

constexpr int kStallTimeoutMs = 1500;

struct AnswerCase {
  const char* name;
  const char* answer;  // firmware_device.py --answer
  uint32_t outcome;
  const char* logLine;  // of category "fwul"; null: none
  uint64_t fileSize = 1000;
};

void PrintTo(const AnswerCase& row, std::ostream* out) { *out << row.name; }

class FirmwareUploadAnswer : public testing::TestWithParam<AnswerCase> {};

// Each answer ends the upload with its event and log line; the connection
// takes the next upload afterwards.
TEST_P(FirmwareUploadAnswer, EndsTheUpload) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  const AnswerCase& row = GetParam();
  zelkit::detail::uploadStallTimeoutMs = kStallTimeoutMs;
  const auto logs = zeltest::temporaryDirectory("firmware-logs");
  zelkit::System::setLoggingDirectory(logs.c_str());
  DeviceOptions options;
  options.answer = row.answer;
  FirmwareDevice device(options);
  const FirmwareFile file("fw.bin", row.fileSize, true);
  zelkit::ZelClient client(device.url().c_str(), 0, 0);
  UploadEvents events(client);

  ASSERT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  EXPECT_EQ(events.outcome(0), row.outcome);
  const auto lines = zeltest::logLines(logs, "fwul");
  EXPECT_EQ(lines, row.logLine != nullptr ? std::vector<std::string>{row.logLine} : std::vector<std::string>{});

  EXPECT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  EXPECT_EQ(events.outcome(1), row.outcome);
}

const AnswerCase kAnswers[] = {
    {"Ok", "ok", kDone, nullptr},
    {"StatusLineInTwoSegments", "split", kDone, nullptr},
    {"Unauthorized", "refused", kFailed, "Firmware upload failed status=401"},
    // One byte is no status line: nothing says the device took the file.
    {"OneByte", "onebyte", kFailed, "Firmware upload failed: answer ended after 1 bytes"},
    {"ClosedInTheStatusLine", "cut", kFailed, "Firmware upload failed: answer ended after 11 bytes"},
    {"StatusLinePastTheBound", "long", kFailed, "Firmware upload failed: no status line in 512 bytes"},
    {"NoStatusLine", "garbage", kFailed, "Firmware upload failed: malformed status line"},
    {"Silent", "silent", kFailed, "Firmware upload failed: no answer within 1500 ms"},
    // The device reads nothing of the body: the sends stop for good.
    {"DeviceStopsReading", "stall", kFailed, "Firmware upload failed status=-1 error=10060", 16 << 20},
};

INSTANTIATE_TEST_SUITE_P(Answers, FirmwareUploadAnswer, testing::ValuesIn(kAnswers),
                         [](const testing::TestParamInfo<AnswerCase>& info) { return info.param.name; });

// An abort while the upload waits for a silent device's answer ends it at
// once with Failed; a second upload is refused only while the first runs.
TEST(FirmwareUploadAbort, EndsTheWaitForTheAnswerAtOnce) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  DeviceOptions options;
  options.answer = "silent";
  FirmwareDevice device(options);
  const FirmwareFile file("fw.bin", 1000);
  zelkit::ZelClient client(device.url().c_str(), 0, 0);
  UploadEvents events(client);

  ASSERT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  ASSERT_TRUE(device.nextPost());
  EXPECT_EQ(client.startFirmwareUpload(file.path.c_str()), -1);
  ASSERT_TRUE(enginetest::waitUntil([&] { return events.sawStarted(); }, 5s));
  EXPECT_EQ(events.outcomeCount(), 0u);

  const auto abortTime = std::chrono::steady_clock::now();
  EXPECT_EQ(client.startFirmwareUpload(nullptr), 0);
  EXPECT_EQ(events.outcome(0, 5s), kFailed);
  // The answer's wait is 30 s; the outcome comes with the next housekeeping pass.
  EXPECT_LT(std::chrono::steady_clock::now() - abortTime, 2s);

  EXPECT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  ASSERT_TRUE(device.nextPost());
  EXPECT_EQ(client.startFirmwareUpload(nullptr), 0);
  EXPECT_EQ(events.outcome(1), kFailed);
}

// An abort also ends a transfer the device has stopped reading.
TEST(FirmwareUploadAbort, EndsAStalledTransferAtOnce) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  const auto logs = zeltest::temporaryDirectory("firmware-logs");
  zelkit::System::setLoggingDirectory(logs.c_str());
  DeviceOptions options;
  options.answer = "stall";
  FirmwareDevice device(options);
  const FirmwareFile file("fw.bin", 16 << 20, true);
  zelkit::ZelClient client(device.url().c_str(), 0, 0);
  UploadEvents events(client);
  ASSERT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  ASSERT_TRUE(enginetest::waitUntil([&] { return events.sawStarted(); }, 5s));
  std::this_thread::sleep_for(1s);  // the socket's buffers fill meanwhile
  EXPECT_EQ(events.outcomeCount(), 0u);
  const auto abortTime = std::chrono::steady_clock::now();
  EXPECT_EQ(client.startFirmwareUpload(nullptr), 0);
  EXPECT_EQ(events.outcome(0, 5s), kFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - abortTime, 2s);
  EXPECT_EQ(zeltest::logLines(logs, "fwul"), std::vector<std::string>{"Firmware upload failed status=-1 error=995"});
}

// Starts the next upload from the Done event of the first.
struct Chain {
  zelkit::ZelClient* client = nullptr;
  std::string file;
  std::atomic<int> dones{0};
  std::atomic<int> restart{99};
  static void callback(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
    auto* chain = static_cast<Chain*>(context);
    if (header.tag == kDone && ++chain->dones == 1)
      chain->restart = chain->client->startFirmwareUpload(chain->file.c_str());
  }
};

// The upload counts as ended when its outcome is posted: the application
// may start the next one from the event.
TEST(FirmwareUploadAbort, NextUploadStartsFromTheDoneEvent) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  FirmwareDevice device;
  const FirmwareFile file("fw.bin", 1000);
  zelkit::ZelClient client(device.url().c_str(), 0, 0);
  Chain chain;
  chain.client = &client;
  chain.file = file.path.string();
  client.registerMessageCallback(Chain::callback, &chain);
  ASSERT_EQ(client.startFirmwareUpload(chain.file.c_str()), 0);
  ASSERT_TRUE(enginetest::waitUntil([&] { return chain.dones == 2; }, 20s)) << chain.restart;
  EXPECT_EQ(chain.restart, 0);
  ASSERT_TRUE(device.nextPost());
  ASSERT_TRUE(device.nextPost());
  client.unregisterCallback(Chain::callback, &chain);
}

// Files that cannot be uploaded are refused at the start; an abort without
// an upload is harmless; a device that cannot be reached fails the upload.
TEST(FirmwareUploadStart, RefusesFilesItCannotSendAndFailsWithoutDevice) {
  const auto logs = zeltest::temporaryDirectory("firmware-logs");
  zelkit::System::setLoggingDirectory(logs.c_str());
  const std::string url = "zelp://127.0.0.1:" + std::to_string(enginetest::closedPort());
  zelkit::ZelClient client(url.c_str(), 0, 0);
  UploadEvents events(client);
  const FirmwareFile tooLarge("huge.bin", 0x100000001ull, true);
  const FirmwareFile file("fw.bin", 10);
  for (const std::string& refused :
       {std::string("/nonexistent/fw.bin"), file.directory.string(), tooLarge.path.string()})
    EXPECT_EQ(client.startFirmwareUpload(refused.c_str()), -1) << refused;

  EXPECT_EQ(client.startFirmwareUpload(nullptr), 0);
  EXPECT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  EXPECT_EQ(events.outcome(), kFailed);
  EXPECT_EQ(zeltest::logLines(logs, "fwul"), std::vector<std::string>{"Firmware upload failed status=-1 error=10061"});
}

}  // namespace
