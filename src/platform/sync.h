#pragma once

#include <atomic>
#include <condition_variable>
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
  std::mutex mutex_;
  std::condition_variable changed_;
  bool manualReset_;
  bool set_;
};

}  // namespace zelkit::platform
