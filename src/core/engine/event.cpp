#include "core/engine/event.h"

#include <cstdint>
#include <cstdio>

#include "common/never_destroyed.h"
#include "core/engine/list.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

namespace {
// Released events; the pool never shrinks.
constinit NeverDestroyed<List<Event>> pool;

// What SetEvent reports for a handle that is no event (ERROR_INVALID_HANDLE).
constexpr int kInvalidHandleError = 6;
}  // namespace

Event* Event::acquire() {
  GlobalLock guard;
  Event* event = pool->popFront();
  return event != nullptr ? event : new Event();
}

void Event::release(Event* event) {
  GlobalLock guard;
  pool->pushFront(event);
}

void Event::wait() { event_.wait(); }
bool Event::waitFor(uint32_t milliseconds) { return event_.waitFor(milliseconds); }
void Event::signal() { event_.set(); }
void* Event::handle() { return this; }

void signalEvent(void* handle) {
  if (handle == nullptr) {
    std::printf("Notify 0x%x error %d\n", 0u, kInvalidHandleError);
    return;
  }
  static_cast<Event*>(handle)->signal();
}

}  // namespace zelkit::detail
