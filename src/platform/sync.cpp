#include "platform/sync.h"

#include <chrono>
#include <climits>
#include <ctime>

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/thread.h"

namespace zelkit::platform {

namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "a futex word");

uint32_t* futexWord(std::atomic<uint32_t>* word) { return reinterpret_cast<uint32_t*>(word); }

// Sleeps while the word holds expected, at most the time (negative: no
// limit); may return early.
void waitOnAddress(std::atomic<uint32_t>* word, uint32_t expected, int64_t nanoseconds) {
  timespec timeout{};
  timespec* limit = nullptr;
  if (nanoseconds >= 0) {
    timeout.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
    timeout.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    limit = &timeout;
  }
  ::syscall(SYS_futex, futexWord(word), FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
}

void wakeAddress(std::atomic<uint32_t>* word, bool all) {
  ::syscall(SYS_futex, futexWord(word), FUTEX_WAKE_PRIVATE, all ? INT_MAX : 1, nullptr, nullptr, 0);
}

}  // namespace

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

Event::Event(bool manualReset, bool initiallySet) : word_(initiallySet ? SetFlag : 0), manualReset_(manualReset) {}

void Event::set() {
  // The word's change is the last touch of the event: a waiter it lets
  // through may free it. Only the wake follows, and a wake of an address
  // that no longer holds the event is harmless.
  const bool wakeAll = manualReset_;
  std::atomic<uint32_t>* const word = &word_;
  const uint32_t before = word->fetch_or(SetFlag, std::memory_order_acq_rel);
  if (before >= OneWaiter) wakeAddress(word, wakeAll);
}

void Event::reset() { word_.fetch_and(~SetFlag, std::memory_order_acq_rel); }

bool Event::takeSet() {
  uint32_t word = word_.load(std::memory_order_acquire);
  while ((word & SetFlag) != 0) {
    if (manualReset_) return true;
    if (word_.compare_exchange_weak(word, word & ~SetFlag, std::memory_order_acquire)) return true;
  }
  return false;
}

bool Event::waitUntilSet(const uint32_t* milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds ? *milliseconds : 0);
  for (;;) {
    if (takeSet()) return true;
    int64_t remainingNs = -1;
    if (milliseconds != nullptr) {
      remainingNs = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (remainingNs <= 0) return false;
    }
    // Counted as a sleeper, then asleep unless the word changed meanwhile.
    const uint32_t expected = word_.fetch_add(OneWaiter, std::memory_order_acq_rel) + OneWaiter;
    if ((expected & SetFlag) == 0) waitOnAddress(&word_, expected, remainingNs);
    word_.fetch_sub(OneWaiter, std::memory_order_acq_rel);
  }
}

void Event::wait() { waitUntilSet(nullptr); }

bool Event::waitFor(uint32_t milliseconds) { return waitUntilSet(&milliseconds); }

bool spinningCanHelp() {
  // The affinity is asked again now and then: it can change while a thread runs.
  constexpr uint32_t CallsBetweenChecks = 1024;
  thread_local uint32_t callsUntilCheck = 0;
  thread_local bool severalProcessors = false;
  if (callsUntilCheck-- == 0) {
    callsUntilCheck = CallsBetweenChecks;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    severalProcessors = sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 1;
  }
  return severalProcessors;
}

void yieldProcessor() { sched_yield(); }

}  // namespace zelkit::platform
