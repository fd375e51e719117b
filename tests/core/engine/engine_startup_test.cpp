#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "zelkit/client.h"

namespace {

using namespace enginetest;
using zelkit::detail::core;

struct SettingsCase {
  const char* name;
  std::vector<std::pair<const char*, const char*>> settings;
  bool pingOpen;
  bool loggingOn;         // after start-up
  bool directoryFixed;    // the setter leaves it as it is
  const char* matching;   // a URL the filter in force finds
  const char* missing;    // one it does not (null: "." finds everything)
  bool filterFixed;
};

std::string temporaryDirectory() {
  char pattern[] = "/tmp/zelkit-startup-XXXXXX";
  return mkdtemp(pattern);
}

void PrintTo(const SettingsCase& row, std::ostream* out) { *out << row.name; }

class StartupSettings : public testing::TestWithParam<SettingsCase> {};

TEST_P(StartupSettings, ReadOnceAtFirstUse) {
  const SettingsCase& row = GetParam();
  setenv("TARVO_KELMO_CONFIG", "/nonexistent/kelmo.conf", 1);
  const std::string directory = temporaryDirectory();
  for (const auto& [name, value] : row.settings) {
    const std::string text = std::string(value) == "<dir>" ? directory : value;
    setenv((std::string("TARVO_KELMO_") + name).c_str(), text.c_str(), 1);
  }
  auto& engine = core();
  engine.ensureInitialized();
  engine.ensureInitialized();  // a second call changes nothing

  EXPECT_EQ(engine.pingSocketOpen(), row.pingOpen);
  EXPECT_EQ(engine.loggingEnabled(), row.loggingOn);
  EXPECT_EQ(engine.setLoggingDirectory(row.loggingOn ? nullptr : directory.c_str()), 0);
  EXPECT_EQ(engine.loggingEnabled(), row.directoryFixed ? row.loggingOn : !row.loggingOn);

  EXPECT_TRUE(engine.logFilterMatches(row.matching));
  if (row.missing != nullptr) {
    EXPECT_FALSE(engine.logFilterMatches(row.missing));
  }
  EXPECT_EQ(engine.setLoggingFilter("^nothing-here$"), 0);
  EXPECT_EQ(engine.logFilterMatches(row.matching), row.filterFixed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartupSettings,
    testing::Values(
        SettingsCase{"Defaults", {}, false, false, false, "zelp://10.0.0.1", nullptr, false},
        SettingsCase{"NoTcpLimitsZeroOpensPingSocket", {{"NoTcpLimits", "0"}}, true, false, false, "x", nullptr, false},
        SettingsCase{"NoTcpLimitsOne", {{"NoTcpLimits", "1"}}, false, false, false, "x", nullptr, false},
        SettingsCase{"LogPathFixesDirectory", {{"ZelpLogPath", "<dir>"}}, false, true, true, "x", nullptr, false},
        SettingsCase{"EmptyLogPathDoesNotFix", {{"ZelpLogPath", ""}}, false, false, false, "x", nullptr, false},
        SettingsCase{"LogFilterFixed", {{"ZelpLogFilter", "^zelp://10\\."}}, false, false, false, "zelp://10.0.0.1",
                     "zelp://192.168.0.1", true},
        SettingsCase{"BadLogFilterKeepsDot", {{"ZelpLogFilter", "(["}}, false, false, false, "zelp://10.0.0.1",
                     nullptr, false}),
    [](const testing::TestParamInfo<SettingsCase>& info) { return std::string(info.param.name); });

void countTimer(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST(EngineStartup, ConcurrentFirstUseGivesOneWorkingEngine) {
  constexpr int threads = 8;
  std::atomic<int> arrived{0};
  std::atomic<int> fired[threads] = {};
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([&, i] {
      arrived.fetch_add(1);
      while (arrived.load() < threads) std::this_thread::yield();
      core().ensureInitialized();
      EXPECT_NE(core().port(), nullptr);
      core().setTimer(50, 0, countTimer, &fired[i], nullptr);
    });
  }
  for (auto& worker : workers) worker.join();
  for (int i = 0; i < threads; ++i) EXPECT_TRUE(waitUntil([&] { return fired[i].load() == 1; }, milliseconds(5000)));
}

TEST(EngineStartup, ConnectionIdsStepBy0x10000) {
  core().ensureInitialized();
  // Connections to the system-log address never connect, so their request
  // counters stay where they started.
  const char* urls[] = {"127.1.1.1:1", "127.1.1.1:2", "127.1.1.1:3"};
  uint32_t expected = 0x10000;
  for (const char* url : urls) {
    EXPECT_EQ(core().getConnection(url)->requestCounter, expected);
    expected += 0x10000;
  }
  EXPECT_EQ(core().getConnection(urls[0])->refCount, 2);  // found again, not made anew
}

TEST(EngineStartup, NothingCompletesAfterTerminate) {
  std::atomic<int> before{0};
  std::atomic<int> after{0};
  core().ensureInitialized();
  core().setTimer(50, 0, countTimer, &before, nullptr);
  ASSERT_TRUE(waitUntil([&] { return before.load() == 1; }, milliseconds(5000)));

  core().requestTerminate();
  std::this_thread::sleep_for(milliseconds(300));  // the worker sees the flag within 100 ms
  core().setTimer(50, 0, countTimer, &after, nullptr);
  Recorder requests;
  RawPeer peer;
  zelkit::ZelClient client(peer.url("HookOn1@").c_str(), 0, 0);
  client.sendRequest(200, 0x0A370C31, Recorder::callback, &requests);
  std::this_thread::sleep_for(milliseconds(1500));
  EXPECT_EQ(after.load(), 0);
  EXPECT_EQ(requests.count(), 0u);
}

}  // namespace
