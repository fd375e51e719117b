#include "platform/sync.h"

#include <chrono>

#include "platform/thread.h"

namespace zelkit::platform {

void RecursiveLock::lock() {
  const uint32_t self = currentThreadId();
  if (owner_.load(std::memory_order_relaxed) == self) {
    ++depth_;
    return;
  }
  mutex_.lock();
  owner_.store(self, std::memory_order_relaxed);
  depth_ = 1;
}

void RecursiveLock::unlock() {
  if (--depth_ == 0) {
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
  }
}

bool RecursiveLock::heldByCurrentThread() const {
  return owner_.load(std::memory_order_relaxed) == currentThreadId();
}

int RecursiveLock::releaseAll() {
  if (!heldByCurrentThread()) return 0;
  const int depth = depth_;
  depth_ = 0;
  owner_.store(0, std::memory_order_relaxed);
  mutex_.unlock();
  return depth;
}

void RecursiveLock::reacquire(int depth) {
  if (depth <= 0) return;
  lock();
  depth_ = depth;
}

Event::Event(bool manualReset, bool initiallySet) : manualReset_(manualReset), set_(initiallySet) {}

void Event::set() {
  // Notifying under the mutex keeps the event alive until set returns: a
  // waiter that wakes and then destroys the event cannot run before.
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = true;
  if (manualReset_)
    changed_.notify_all();
  else
    changed_.notify_one();
}

void Event::reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = false;
}

void Event::wait() {
  std::unique_lock<std::mutex> guard(mutex_);
  changed_.wait(guard, [this] { return set_; });
  if (!manualReset_) set_ = false;
}

bool Event::waitFor(uint32_t milliseconds) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (!changed_.wait_for(guard, std::chrono::milliseconds(milliseconds), [this] { return set_; }))
    return false;
  if (!manualReset_) set_ = false;
  return true;
}

}  // namespace zelkit::platform
