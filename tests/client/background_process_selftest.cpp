// The outside-program runner that tests and benchmarks read their peers'
// output with: a program that writes more than a pipe holds goes on as
// long as its reader looks without waiting.

#include "support/background_process.h"

#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

namespace zeltest {
namespace {

using namespace std::chrono_literals;

// Writes about 117 KB of lines, more than a pipe holds, then DONE, and
// waits for its input to close.
const std::vector<std::string> kChatty = {"sh", "-c", "yes line | head -n 30000; echo DONE; cat"};

struct LookCase {
  const char* name;
  std::function<bool(BackgroundProcess&)> sawDone;  // one look, no waiting
};

TEST(BackgroundProcess, LooksWithoutWaitingReadWhatIsWritten) {
  const LookCase cases[] = {
      {"waitForLine with time-out 0", [](BackgroundProcess& p) { return p.waitForLine("DONE", 0ms).has_value(); }},
      {"readAvailable",
       [](BackgroundProcess& p) {
         p.readAvailable();
         return p.output().find("DONE\n") != std::string::npos;
       }},
  };
  for (const LookCase& c : cases) {
    SCOPED_TRACE(c.name);
    BackgroundProcess process(kChatty);
    bool done = false;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
      done = c.sawDone(process);
    }
    EXPECT_TRUE(done) << process.output().size() << " bytes read";
  }
}

// A line written before the time ran out is found at the time-out too.
TEST(BackgroundProcess, WaitForLineAtItsDeadlineFindsWhatIsThere) {
  BackgroundProcess process({"sh", "-c", "echo READY; cat"});
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(process.waitForLine("READY", 0ms), "READY");
  EXPECT_FALSE(process.waitForLine("READY", 0ms));  // seen once only
}

}  // namespace
}  // namespace zeltest
