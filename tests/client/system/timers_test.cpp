#include <gtest/gtest.h>

#include "core/engine/engine_test_util.h"
#include "zelkit/system.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::System;

constexpr uint32_t kTimerTag = 0x00400020;

int timerCount() { return System::getInfo(System::InfoTimerCount, nullptr, nullptr); }

TEST(SystemTimers, ATimerOfTheSameCallbackAndContextIsReplaced) {
  Recorder recorder;
  Recorder other;
  zelkit::ZelOutputStream none;
  System::setTimer(60000, 0, Recorder::callback, &recorder, none);
  System::setTimer(60000, 0, Recorder::callback, &other, none);
  zelkit::ZelOutputStream payload;
  payload.writeULong(0x01020304);
  System::setTimer(1, 0, Recorder::callback, &recorder, payload);
  EXPECT_EQ(timerCount(), 2);
  const auto fired = recorder.waitFor(kTimerTag, 5s);
  ASSERT_TRUE(fired);
  EXPECT_EQ(fired->payload, (zeltest::Bytes{1, 2, 3, 4}));
  EXPECT_EQ(fired->mode, 2);  // delivered like a message
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(recorder.count(), 1u);  // the 60-second one went with the replacement
  System::setTimer(0, 0, Recorder::callback, &other, none);
  EXPECT_EQ(timerCount(), 0);
}

TEST(SystemTimers, APeriodicTimerFiresAgainUntilRemoved) {
  Recorder recorder;
  zelkit::ZelOutputStream none;
  System::setTimer(1, 100, Recorder::callback, &recorder, none);
  ASSERT_TRUE(recorder.waitForCount(3, 5s));
  System::setTimer(0, 0, Recorder::callback, &recorder, none);
  const size_t seen = recorder.count();
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(recorder.count(), seen);
}

}  // namespace
