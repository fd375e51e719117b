#include "core/engine/lock.h"
#include "server/server_state.h"
#include "zelkit/server.h"
#include "zelkit/system.h"

namespace zelkit {

namespace {

void serverTimerTrampoline(void* record, ZelHeader&, ZelInputStream&) {
  const auto* timer = static_cast<const detail::ServerTimer*>(record);
  timer->function(timer->context);
}

}  // namespace

void ZelServer::registerTimer(int periodMs, void (*function)(void*), void* context) {
  if (periodMs <= 0 || function == nullptr) return;
  // Each timer gets a record of its own as the timer's context: timers
  // that share the application's context must not replace each other.
  detail::ServerTimer* timer;
  {
    detail::GlobalLock lock;
    detail::ServerState& state = detail::serverState();
    timer = state.timers = new detail::ServerTimer{state.timers, function, context};
  }
  ZelOutputStream noPayload;
  System::setTimer(periodMs, periodMs, serverTimerTrampoline, timer, noPayload);
}

}  // namespace zelkit
