#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/event.h"
#include "core/engine/lock.h"
#include "zelkit/system.h"

namespace zelkit {

namespace {

using detail::Connection;
using detail::ConnectionState;

// How often a wait for the worker looks whether the library was terminated.
constexpr uint32_t kTerminateCheckMs = 100;

// Failed connections (the local pseudo connection among them) never
// connect by TCP, so suspension leaves them alone.
bool takesPartInSuspension(const Connection* connection) { return connection->state != ConnectionState::Failed; }

void signalEventContext(void* event, ZelHeader&, ZelInputStream&) { static_cast<detail::Event*>(event)->signal(); }

void resumeConnections() {
  detail::Core& engine = detail::core();
  detail::GlobalLock lock;
  // The suspended time neither fires time-outs nor counts as a blocked worker.
  engine.resetHousekeepingClock();
  for (Connection* connection = engine.connectionList().first(); connection != nullptr;
       connection = connection->next) {
    if (connection->hasCallbacks() && takesPartInSuspension(connection)) connection->connect();
  }
}

// What waited while sending was suspended goes now: nothing else may come
// to send it (a server connection's reading may have stopped for it).
void resumeSending() {
  detail::GlobalLock lock;
  for (Connection* connection = detail::core().connectionList().first(); connection != nullptr;
       connection = connection->next)
    connection->sendIfIdle();
}

void suspendConnections() {
  detail::Core& engine = detail::core();
  detail::Event* workerRan;
  {
    detail::GlobalLock lock;
    workerRan = detail::Event::acquire();
    for (Connection* connection = engine.connectionList().first(); connection != nullptr;) {
      Connection* next = connection->next;  // closing an accepted connection may delete it
      if (connection->state != ConnectionState::Idle && takesPartInSuspension(connection))
        connection->close(detail::LocalEvent::ConnectionClosed, "Suspend", 0);
      connection = next;
    }
  }
  // Returns once the worker has run its loop after the closes; a worker that
  // has ended (or is this thread) never would.
  if (engine.isTerminating() || engine.onWorkerThread()) {
    detail::Event::release(workerRan);
    return;
  }
  engine.setTimer(1, 0, signalEventContext, workerRan, nullptr);
  while (!workerRan->waitFor(kTerminateCheckMs)) {
    if (!engine.isTerminating()) continue;
    // The timer may still fire while the worker ends: the event is left
    // out of the pool rather than signalled after its next user took it.
    engine.setTimer(0, 0, signalEventContext, workerRan, nullptr);
    return;
  }
  detail::Event::release(workerRan);
}

}  // namespace

void System::setSuspendState(SuspendState state) {
  detail::Core& engine = detail::core();
  const uint32_t previous = engine.suspendState();
  const uint32_t next = static_cast<uint32_t>(state);
  engine.setSuspendStateValue(next);
  if (previous >= SuspendConnections && next < SuspendConnections)
    resumeConnections();
  else if (previous < SuspendConnections && next >= SuspendConnections)
    suspendConnections();
  if (previous != SuspendNone && next == SuspendNone) resumeSending();
}

}  // namespace zelkit
