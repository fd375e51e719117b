#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::detail::core;
using zelkit::detail::GlobalLock;

class TimersTest : public testing::Test {
 protected:
  void SetUp() override { core().ensureInitialized(); }
  int timerCount() { return core().getTimerCount(2); }
};

TEST_F(TimersTest, CancelRemovesEveryTimerOfCallbackAndContext) {
  Recorder recorder;
  Recorder other;
  zelkit::ZelOutputStream payload;
  payload.writeULong(1);
  {
    GlobalLock lock;
    core().setTimer(300, 0, Recorder::callback, &recorder, nullptr);
    core().setTimer(300, 0, Recorder::callback, &recorder, &payload);  // a second one beside it
    core().setTimer(300, 0, Recorder::callback, &other, nullptr);
    EXPECT_EQ(timerCount(), 3);
    core().setTimer(0, 0, Recorder::callback, &recorder, nullptr);
    EXPECT_EQ(timerCount(), 1);
    core().setTimer(0, 0, Recorder::callback, &recorder, nullptr);  // none left: nothing happens
  }
  EXPECT_TRUE(other.waitForCount(1, 5s));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(recorder.count(), 0u);
  EXPECT_EQ(core().getTimerCount(1), -1);
}

TEST_F(TimersTest, SettingAgainReplacesTheTimer) {
  Recorder recorder;
  core().setTimer(60000, 0, Recorder::callback, &recorder, nullptr);
  core().setTimer(1, 0, Recorder::callback, &recorder, nullptr);
  EXPECT_EQ(timerCount(), 1);
  ASSERT_TRUE(recorder.waitForCount(1, 5s));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(recorder.count(), 1u);
  EXPECT_EQ(timerCount(), 0);
}

TEST_F(TimersTest, PayloadGoesWithTheTimer) {
  Recorder recorder;
  zelkit::ZelOutputStream payload;
  payload.writeULong(0xCAFEF00D);
  core().setTimer(1, 0, Recorder::callback, &recorder, &payload);
  const auto fired = recorder.waitFor(zelkit::detail::LocalEvent::Timer, 5s);
  ASSERT_TRUE(fired);
  EXPECT_EQ(fired->payload, (zeltest::Bytes{0xCA, 0xFE, 0xF0, 0x0D}));
}

// Two timers due in the same pass: the first removes the second.
Recorder removed;
std::atomic<int> removerRuns{0};
void removeTheOther(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  removerRuns.fetch_add(1);
  core().removeTimers(nullptr, &removed);
}

TEST_F(TimersTest, CallbackMayRemoveAnotherTimerDuringTheWalk) {
  {
    GlobalLock lock;
    // Newest first: the remover is walked first.
    core().setTimer(1, 0, Recorder::callback, &removed, nullptr);
    core().setTimer(1, 0, removeTheOther, nullptr, nullptr);
  }
  ASSERT_TRUE(waitUntil([] { return removerRuns.load() == 1; }, 5s));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(removed.count(), 0u);
  EXPECT_EQ(timerCount(), 0);
}

TEST_F(TimersTest, RemoveTimersComparesTheContextOnly) {
  Recorder recorder;
  core().setTimer(60000, 0, Recorder::callback, &recorder, nullptr);
  core().setTimer(60000, 0, removeTheOther, &recorder, nullptr);
  core().removeTimers(Recorder::callback, &recorder);
  EXPECT_EQ(timerCount(), 0);
}

}  // namespace
