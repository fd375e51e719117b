#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/log/logging_test_util.h"

namespace {

using namespace loggingtest;
using enginetest::milliseconds;
using enginetest::waitUntil;
using zelkit::detail::core;

void touch(const fs::path& path) { std::ofstream(path) << "x\n"; }

bool fileContains(const fs::path& path, const std::string& text) {
  return readFile(path).find(text) != std::string::npos;
}

int countOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Retention 2 on 2024-03-10: today and the two days before stay.
TEST(LogEraser, DeletesOldDayDirectoriesAndNeverFollowsLinks) {
  useFixedClockInUtc(MARCH_10_NOON);
  const fs::path root = temporaryDirectory("eraser");
  const fs::path logs = root / "logs";
  const fs::path outside = root / "outside";
  fs::create_directories(outside);
  touch(outside / "keep.txt");
  for (const char* day : {"2024-03-06", "2024-03-07", "2024-03-08", "2024-03-09"}) {
    fs::create_directories(logs / day / "sub");
    touch(logs / day / "10.1.2.3.log");
    touch(logs / day / "sub" / "nested.log");
  }
  fs::create_directory_symlink(outside, logs / "2024-03-07" / "link");  // inside an old day
  fs::create_directory_symlink(outside, logs / "2024-03-01");           // an old day that is a link
  fs::create_directories(logs / "notes");
  touch(logs / "README");

  core().setLoggingRetentionTime(2);  // no directory yet: only stored
  core().setLoggingDirectory(logs.c_str());
  const fs::path systemLog = logs / "2024-03-10" / "127.1.1.1.log";
  ASSERT_TRUE(waitUntil([&] { return fileContains(systemLog, " eras Erasing files took "); }, milliseconds(10000)));

  EXPECT_EQ(entries(logs), (std::vector<std::string>{"2024-03-08", "2024-03-09", "2024-03-10", "README", "notes"}));
  EXPECT_EQ(entries(logs / "2024-03-08"), (std::vector<std::string>{"10.1.2.3.log", "sub"}));
  EXPECT_EQ(entries(outside), std::vector<std::string>{"keep.txt"});
}

// Every re-apply with a retention starts an eraser; the setters free and
// replace the directory text meanwhile (the sanitizer builds watch this).
TEST(LogEraser, SettingsChangeWhileErasersRun) {
  useFixedClockInUtc(MARCH_10_NOON);
  const fs::path root = temporaryDirectory("erasers");
  const fs::path directories[] = {root / "a", root / "b"};
  for (const fs::path& directory : directories) fs::create_directories(directory / "2024-01-01");
  std::thread retention([] {
    for (int i = 0; i < 20; ++i) core().setLoggingRetentionTime(1 + i % 2);
  });
  for (int i = 0; i < 20; ++i) core().setLoggingDirectory(i % 3 == 2 ? nullptr : directories[i % 2].c_str());
  retention.join();
  core().setLoggingRetentionTime(1);
  core().setLoggingDirectory(directories[0].c_str());
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(directories[0] / "2024-01-01"); }, milliseconds(10000)));
}

struct RolloverCase {
  const char* name;
  int retentionAfterwards;
  bool movesToTheNewDay;
};

void PrintTo(const RolloverCase& row, std::ostream* out) { *out << row.name; }

void countPass(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

class DayRollover : public testing::TestWithParam<RolloverCase> {};

TEST_P(DayRollover, FollowsTheRetention) {
  const RolloverCase& row = GetParam();
  useFixedClockInUtc(MARCH_10_NOON);
  const fs::path logs = temporaryDirectory("rollover");
  core().setLoggingRetentionTime(2);
  core().setLoggingDirectory(logs.c_str());
  core().getConnection("zelp://127.1.1.1:8080");
  core().setLoggingRetentionTime(row.retentionAfterwards);
  const fs::path today = logs / "2024-03-10";
  const fs::path tomorrow = logs / "2024-03-11";
  ASSERT_TRUE(fs::exists(today / "127.1.1.1_8080.log"));
  const int startLines = countOf(readFile(today / "127.1.1.1.log"), " init os ");

  // A periodic timer counts the housekeeping passes, each of which checks the day.
  std::atomic<int> passes{0};
  core().setTimer(100, 100, countPass, &passes, nullptr);
  ASSERT_TRUE(waitUntil([&] { return passes.load() >= 1; }, milliseconds(10000)));
  fixedNow = MARCH_10_NOON + ONE_DAY;
  const int passesAtMidnight = passes.load();

  if (row.movesToTheNewDay) {
    ASSERT_TRUE(waitUntil([&] { return fs::exists(tomorrow / "127.1.1.1_8080.log"); }, milliseconds(10000)));
    // The files are reopened first, the start-up line follows.
    EXPECT_TRUE(waitUntil([&] { return fileContains(tomorrow / "127.1.1.1.log", "2024-03-11 12:00:00.123 init os "); },
                          milliseconds(10000)));
  } else {
    ASSERT_TRUE(waitUntil([&] { return passes.load() >= passesAtMidnight + 3; }, milliseconds(10000)));
    EXPECT_FALSE(fs::exists(tomorrow));
    // No re-apply: neither a start-up line nor reopened files.
    EXPECT_EQ(countOf(readFile(today / "127.1.1.1.log"), " init os "), startLines);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DayRollover,
                         testing::Values(RolloverCase{"RetentionKeptMovesEveryLog", 2, true},
                                         RolloverCase{"RetentionBackToZeroStopsTheRollover", 0, false}),
                         [](const testing::TestParamInfo<RolloverCase>& info) { return std::string(info.param.name); });

}  // namespace
