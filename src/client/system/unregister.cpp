#include "client/scanner/scanner_state.h"
#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "zelkit/system.h"

namespace zelkit {

void System::unregisterCallback(ZelCallback callback, void* context) {
  detail::Core& engine = detail::core();
  detail::GlobalLock lock;
  detail::scannerState().removeCallbacks(context, callback);
  // Local notifications wait in the timer list too.
  engine.removeTimers(callback, context);
  for (detail::Connection* connection = engine.connectionList().first(); connection != nullptr;
       connection = connection->next) {
    const bool hadEntries = connection->hasCallbacks();
    connection->unregisterCallback(callback, context);
    if (hadEntries && !connection->hasCallbacks()) --connection->refCount;
  }
  // Drops its queued callbacks and waits for one running on another thread.
  engine.waitForCallbacksOf(context);
}

}  // namespace zelkit
