#pragma once

#include "platform/sync.h"

namespace zelkit::detail {

// A recursive lock for a single object (replay controllers, streamer
// sessions, the server, the packet pool).
class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void enter() { lock_.lock(); }
  void leave() { lock_.unlock(); }

 private:
  platform::RecursiveLock lock_;
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection* section) : section_(section) { section_->enter(); }
  ~CriticalSectionLock() { section_->leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection* section_;
};

// The one library-wide lock: guards the core, the connections and their
// queues, the timers, the callback queue and the armed streams.
void lockGlobal();
void unlockGlobal();
// Releases the library lock completely around a blocking wait and returns
// the depth to take it again at (Parts that wait with the lock held).
int releaseGlobalCompletely();
void reacquireGlobal(int depth);
bool globalLockHeld();

class GlobalLock {
 public:
  GlobalLock() { lockGlobal(); }
  ~GlobalLock() { unlockGlobal(); }
  GlobalLock(const GlobalLock&) = delete;
  GlobalLock& operator=(const GlobalLock&) = delete;
};

}  // namespace zelkit::detail
