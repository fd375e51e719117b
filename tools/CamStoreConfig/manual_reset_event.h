#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace camstore {

// Stays signalled until reset, so a reply that arrives before the main
// thread starts waiting is not missed.
class ManualResetEvent {
 public:
  void set() {
    {
      std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    changed_.notify_all();
  }

  void reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  // True when the event was signalled within the time.
  bool waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return signalled_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool signalled_ = false;
};

}  // namespace camstore
