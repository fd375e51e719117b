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
  engine.discardDeliveriesOf(nullptr, context);  // scan results waiting in the callback queue
  engine.removeTimers(callback, context);
  // Each connection drops its entries, completions, queued deliveries and
  // local notifications of the context.
  for (detail::Connection* connection = engine.connectionList().first(); connection != nullptr;
       connection = connection->next) {
    const bool hadEntries = connection->hasCallbacks();
    connection->unregisterCallback(callback, context);
    if (hadEntries && !connection->hasCallbacks()) --connection->refCount;
  }
  engine.waitForCallbacksOf(context);
}

}  // namespace zelkit
