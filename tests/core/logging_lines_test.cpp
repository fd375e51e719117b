#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "core/core.h"
#include "core/engine_test_util.h"
#include "core/logging_test_util.h"

namespace {

using namespace loggingtest;
using enginetest::milliseconds;
using enginetest::waitUntil;
using zelkit::detail::core;

// The number in the first time-stamped line of the file whose text starts
// with the prefix and reads as the format (one %d, then %n) after it; or -1.
int loggedNumber(const fs::path& path, const std::string& prefix, const char* format) {
  for (const std::string& line : readLines(path)) {
    const std::optional<std::string> text = afterTimestamp(line);
    if (!text || text->rfind(prefix, 0) != 0) continue;
    const std::string rest = text->substr(prefix.size());
    int value = -1;
    int end = 0;
    if (std::sscanf(rest.c_str(), format, &value, &end) == 1 && static_cast<size_t>(end) == rest.size()) return value;
  }
  return -1;
}

void blockThreeSeconds(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  std::this_thread::sleep_for(milliseconds(3000));
}

TEST(EngineLogLines, BlockedWorkerAndSlowCallbackReachTheSystemLog) {
  const fs::path logs = temporaryDirectory("lines");
  core().setLoggingDirectory(logs.c_str());
  core().setTimer(50, 0, blockThreeSeconds, nullptr, nullptr);
  const fs::path systemLog = logs / "127.1.1.1.log";
  const auto blocked = [&] {
    return loggedNumber(systemLog, "run  Worker thread blocked for ", "%d Milliseconds.%n");
  };
  ASSERT_TRUE(waitUntil([&] { return blocked() >= 0; }, milliseconds(15000)));
  EXPECT_GE(blocked(), 2900);
  EXPECT_GE(loggedNumber(systemLog, "clto Time delivering packet ", "%*8x.%*8x is %d Milliseconds.%n"), 2900);
}

}  // namespace
