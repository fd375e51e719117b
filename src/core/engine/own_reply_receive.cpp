// A synchronous caller that receives its own reply: while it waits, its
// connection's socket is off the completion port, so the reply wakes the
// caller alone and one thread hand-off is saved (the worker's, which would
// have woken the caller in turn). The caller handles the receive completions
// exactly as the worker does, under the lock; only the callbacks among the
// frames go to the worker, which runs them, in order, before anything newer
// of the connection.
#include <atomic>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "platform/receive_hold.h"
#include "platform/socket_table.h"
#include "zelkit/streams.h"

namespace zelkit::detail {

namespace {

thread_local bool receivingOwnReply = false;

// Only a wake-up that was missed makes the caller look again this late.
constexpr int OWN_REPLY_WAIT_SLICE_MS = 100;

// A plain client connection whose next frame is read into its receive
// record; TLS, accepted and datagram connections keep their own paths.
bool receivesFramesPlainly(const Connection* connection) {
  return connection->session == nullptr && connection->ssl == nullptr && connection->socketHandle > 0 &&
         connection->state == ConnectionState::Registered && connection->receiveTicket != 0 &&
         (connection->receivePhase == ReceivePhase::Header || connection->receivePhase == ReceivePhase::Body);
}

class HandOffScope {
 public:
  HandOffScope() { receivingOwnReply = true; }
  ~HandOffScope() { receivingOwnReply = false; }
  HandOffScope(const HandOffScope&) = delete;
  HandOffScope& operator=(const HandOffScope&) = delete;
};

}  // namespace

bool Core::handingOffCallbacks() { return receivingOwnReply; }

void Core::wakeOwnReplyReceiver(const Connection* connection) {
  const int wakeFd = connection->ownReplyWakeFd;
  if (wakeFd >= 0 && wakeFd != platform::threadWakeDescriptor()) platform::signalWakeDescriptor(wakeFd);
}

bool Core::receiveOwnReply(Connection* connection, ZelInputStream& stream) {
  std::atomic_ref<uint16_t> state(stream.state_);
  auto completed = [&] { return state.load(std::memory_order_acquire) == 2; };
  // The lock is let go while the caller waits for input: only a caller
  // that holds it no deeper than this may do so.
  if (globalLockHeld()) return false;
  GlobalLock lock;
  if (completed()) return true;
  if (stream.state_ != 1 || connection->ownReplyWakeFd >= 0 || !receivesFramesPlainly(connection)) return false;
  platform::ReceiveHold hold;
  if (!hold.hold(connection->socketHandle)) return false;
  const HandOffScope handOff;
  const uint32_t generation = connection->socketGeneration;
  connection->ownReplyWakeFd = hold.wakeDescriptor();
  while (!completed() && connection->socketGeneration == generation && receivesFramesPlainly(connection)) {
    hold.clearWakeups();  // before looking: a wake-up given after this is kept
    platform::Completion completion;
    if (hold.takeReceive(&connection->receiveOp.record, completion)) {
      onConnectionCompletion(connection, &connection->receiveOp, completion);
      continue;
    }
    unlockGlobal();
    const auto outcome = hold.waitForInput(OWN_REPLY_WAIT_SLICE_MS);
    lockGlobal();
    if (outcome == platform::ReceiveHold::Outcome::Closed) break;
  }
  connection->ownReplyWakeFd = -1;
  hold.release();
  return completed();
}

}  // namespace zelkit::detail
