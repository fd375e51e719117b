#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
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

// Settings are read once, at initialisation, so the variables are set
// before the engine starts (each test runs in a process of its own).
TEST(LogSettingsFromEnvironment, FixedPathAndRetentionWinOverTheSetters) {
  useFixedClockInUtc(MARCH_10_NOON);
  const fs::path root = temporaryDirectory("settings");
  const fs::path fixed = root / "fixed";
  const fs::path other = root / "other";
  fs::create_directories(fixed / "2024-03-08");  // older than one day of retention
  fs::create_directories(fixed / "2024-03-09");
  fs::create_directories(other);
  setenv("TARVO_KELMO_CONFIG", "/nonexistent/kelmo.conf", 1);
  setenv("TARVO_KELMO_ZelpLogPath", fixed.c_str(), 1);
  setenv("TARVO_KELMO_ZelpLogRetentionTime", "1", 1);
  core().ensureInitialized();

  // Initialisation does not re-apply: no day directory yet.
  core().getConnection("zelp://127.1.1.1:8080");
  EXPECT_TRUE(fs::exists(fixed / "127.1.1.1_8080.log"));
  EXPECT_EQ(core().setLoggingDirectory(other.c_str()), 0);
  EXPECT_EQ(core().setLoggingRetentionTime(0), 0);
  EXPECT_TRUE(entries(other).empty());

  // The filter is not fixed: its setter re-applies with the fixed values.
  EXPECT_EQ(core().setLoggingFilter(":8080$"), 0);
  EXPECT_TRUE(fs::exists(fixed / "2024-03-10" / "127.1.1.1_8080.log"));
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(fixed / "2024-03-08"); }, milliseconds(10000)));
  EXPECT_TRUE(fs::exists(fixed / "2024-03-09"));
  EXPECT_TRUE(entries(other).empty());
}

}  // namespace
