#include "platform/sync.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/thread.h"
#include "platform/time.h"

namespace zelkit::platform {
namespace {

// Another thread tries the lock; true when it got it within the time.
bool otherThreadGetsLock(RecursiveLock& lock, int waitMs = 50) {
  std::atomic<bool> got{false};
  std::thread other([&] {
    lock.lock();
    got = true;
    lock.unlock();
  });
  for (int i = 0; i < waitMs && !got; ++i) sleepMilliseconds(1);
  const bool result = got;
  if (!result) {
    // Let the waiting thread finish before returning.
    while (lock.heldByCurrentThread()) lock.unlock();
  }
  other.join();
  return result;
}

TEST(RecursiveLock, NestedHoldUntilLeftAsOftenAsEntered) {
  RecursiveLock lock;
  lock.lock();
  lock.lock();
  lock.unlock();
  EXPECT_TRUE(lock.heldByCurrentThread());
  lock.unlock();
  EXPECT_FALSE(lock.heldByCurrentThread());
  EXPECT_TRUE(otherThreadGetsLock(lock));
}

TEST(RecursiveLock, ReleaseAllAndReacquireKeepsDepth) {
  RecursiveLock lock;
  lock.lock();
  lock.lock();
  lock.lock();
  const int depth = lock.releaseAll();
  EXPECT_EQ(depth, 3);
  EXPECT_FALSE(lock.heldByCurrentThread());
  EXPECT_TRUE(otherThreadGetsLock(lock));
  lock.reacquire(depth);
  for (int i = 0; i < 2; ++i) lock.unlock();
  EXPECT_TRUE(lock.heldByCurrentThread());
  lock.unlock();
  EXPECT_FALSE(lock.heldByCurrentThread());
  EXPECT_EQ(lock.releaseAll(), 0);
}

TEST(Event, SetBeforeWaitIsNotLost) {
  for (bool manual : {false, true}) {
    Event event(manual);
    event.set();
    EXPECT_TRUE(event.waitFor(0)) << "manual=" << manual;
    // An auto-reset event resets itself when it lets a waiter through.
    EXPECT_EQ(event.waitFor(0), manual) << "manual=" << manual;
  }
}

TEST(Event, AutoResetWakesOneWaiterPerSet) {
  Event event;
  std::atomic<int> woken{0};
  std::thread a([&] { event.wait(); ++woken; });
  std::thread b([&] { event.wait(); ++woken; });
  sleepMilliseconds(20);
  event.set();
  for (int i = 0; i < 2000 && woken == 0; ++i) sleepMilliseconds(1);
  sleepMilliseconds(50);  // a second waiter, wrongly let through, would show by now
  EXPECT_EQ(woken.load(), 1);
  event.set();
  a.join();
  b.join();
  EXPECT_EQ(woken.load(), 2);
}

TEST(Event, ManualResetWakesEveryWaiterUntilReset) {
  Event event(true);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) waiters.emplace_back([&] { event.wait(); ++woken; });
  sleepMilliseconds(20);
  event.set();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), 3);
  event.reset();
  EXPECT_FALSE(event.waitFor(0));
}

// Sets that race with waiters going to sleep are never lost, and an event
// on the stack may go as soon as its waiter is through.
TEST(Event, HandOffsBackAndForthLoseNoSet) {
  Event ping;
  Event pong;
  std::thread partner([&] {
    for (int i = 0; i < 20000; ++i) {
      if (!ping.waitFor(5000)) return;
      pong.set();
    }
  });
  int rounds = 0;
  for (; rounds < 20000; ++rounds) {
    ping.set();
    if (!pong.waitFor(5000)) break;
  }
  partner.join();
  EXPECT_EQ(rounds, 20000);
  for (int i = 0; i < 2000; ++i) {
    auto* event = new Event();
    std::thread setter([event] { event->set(); });
    event->wait();
    delete event;
    setter.join();
  }
}

TEST(Event, WaitForTimesOutWhenNotSet) {
  Event event(true);
  const uint32_t start = tickCount();
  EXPECT_FALSE(event.waitFor(30));
  EXPECT_GE(static_cast<int32_t>(tickCount() - start), 25);
}

TEST(Thread, StartsDetachedThreadWithItsArgument) {
  struct Box {
    Event done;
    std::atomic<uint32_t> id{0};
  } box;
  ASSERT_TRUE(startThread(
      [](void* argument) {
        auto* b = static_cast<Box*>(argument);
        b->id = currentThreadId();
        b->done.set();
      },
      &box));
  ASSERT_TRUE(box.done.waitFor(2000));
  EXPECT_NE(box.id.load(), 0u);
  EXPECT_NE(box.id.load(), currentThreadId());
}

}  // namespace
}  // namespace zelkit::platform
