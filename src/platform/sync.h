#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

namespace zelkit::platform {

// Recursive lock in the manner of a critical section. Constant-initialised,
// so a static instance works during static initialisation.
class RecursiveLock {
 public:
  constexpr RecursiveLock() noexcept = default;
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void lock();
  void unlock();
  bool heldByCurrentThread() const;

  // Leaves the lock completely and returns the depth it was held at
  // (0 when the calling thread did not hold it); reacquire takes it again
  // to that depth. Used around blocking waits.
  int releaseAll();
  void reacquire(int depth);

 private:
  std::mutex mutex_;
  std::atomic<uint32_t> owner_{0};
  int depth_ = 0;
};

// Event in the manner of a Win32 event: a set before the wait is not lost;
// an auto-reset event lets one waiter through per set and resets itself.
// One word holds the set flag and the count of sleeping waiters, so that a
// set touches the event only once: a waiter it lets through may destroy the
// event at once, and the woken thread does not wait again for a lock the
// setter still holds.
class Event {
 public:
  explicit Event(bool manualReset = false, bool initiallySet = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();
  void wait();
  // True when the event was set within the time; false on time-out.
  bool waitFor(uint32_t milliseconds);

 private:
  static constexpr uint32_t SetFlag = 1;
  static constexpr uint32_t OneWaiter = 2;
  // Takes the set flag (an auto-reset event clears it): true when it was set.
  bool takeSet();
  // Sleeps until set; false when the time (null: none) ran out first.
  bool waitUntilSet(const uint32_t* milliseconds);

  std::atomic<uint32_t> word_;
  const bool manualReset_;
};

// Spinning: worth it only while another processor can run the thread that
// ends the wait, so the calling thread must be allowed on more than one.
bool spinningCanHelp();
// Tells the processor that the thread is spinning.
inline void cpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}
// Gives the processor to another ready thread.
void yieldProcessor();

// Busy-waits until done() holds or the time has passed; true when it held.
// It gives way to other ready threads now and then: the one it waits for
// may have been woken onto this processor.
template <typename Done>
bool spinUntil(std::chrono::nanoseconds limit, Done done) {
  constexpr int ChecksBetweenYields = 16;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (int i = 0; i < ChecksBetweenYields; ++i) {
      if (done()) return true;
      cpuRelax();
    }
    yieldProcessor();
    if (std::chrono::steady_clock::now() >= deadline) return done();
  }
}

}  // namespace zelkit::platform
