#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace zelkit::detail {

// Pooled auto-reset event on which application threads block while the
// worker completes their request. Events are never destroyed; released ones
// wait in a pool (used under the library lock) for the next acquire.
class Event {
 public:
  // Pops a pooled event or creates one (auto-reset, not signalled).
  static Event* acquire();
  static void release(Event* event);

  void wait();
  // True when signalled within the time.
  bool waitFor(uint32_t milliseconds);
  void signal();
  void* handle();

  Event* next = nullptr;  // link of the pool

 private:
  Event() = default;
  platform::Event event_;
};

// SetEvent on a handle stored elsewhere (a packet's waiter event). A null
// handle prints "Notify 0x%x error %d\n" as a failed SetEvent does.
void signalEvent(void* handle);

}  // namespace zelkit::detail
