// A synchronous caller that receives its own reply: while it waits, and
// already while it writes its request, its connection's socket is off the
// completion port's input watch, so the reply wakes the caller alone and
// one thread hand-off is saved (the worker's, which would have woken the
// caller in turn). The caller handles the receive completions exactly as
// the worker does, under the lock, and sends what handling them triggers
// as the worker does once each is handled; only the callbacks among the
// frames go to the worker, which runs them, in order, before anything newer
// of the connection. A reply that comes behind such callbacks goes to the
// worker as well, so that the call returns after they ran, as it did when
// the worker received everything.
#include <atomic>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/stream_access.h"
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

}  // namespace

// One caller's hold of its connection's receives; used under the lock.
class Core::OwnReplyReceiver {
 public:
  OwnReplyReceiver(Core& core, Connection* connection) : core_(core), connection_(connection) {}
  ~OwnReplyReceiver() {
    if (!held_) return;
    connection_->ownReplyWakeFd = -1;
    hold_.release();
    receivingOwnReply = false;
  }
  OwnReplyReceiver(const OwnReplyReceiver&) = delete;
  OwnReplyReceiver& operator=(const OwnReplyReceiver&) = delete;

  // False when the connection's frames cannot be received by this thread now.
  bool begin() {
    if (connection_->ownReplyWakeFd >= 0 || !receivesFramesPlainly(connection_)) return false;
    if (!hold_.hold(connection_->socketHandle)) return false;
    held_ = true;
    receivingOwnReply = true;
    generation_ = connection_->socketGeneration;
    connection_->ownReplyWakeFd = hold_.wakeDescriptor();
    return true;
  }
  bool stillReceiving() const {
    return connection_->socketGeneration == generation_ && receivesFramesPlainly(connection_);
  }
  // Handles the receives that can finish now, each as the worker would,
  // sends it triggers included; tells how the last one stands.
  platform::ReceiveHold::Take takeAvailable() {
    platform::Completion completion;
    for (;;) {
      if (!stillReceiving()) return platform::ReceiveHold::Take::NotHere;
      const auto take = hold_.takeReceive(&connection_->receiveOp.record, completion);
      if (take != platform::ReceiveHold::Take::Taken) return take;
      core_.onConnectionCompletion(connection_, &connection_->receiveOp, completion);
      core_.flushDeferredSends();
    }
  }
  // Until the stream has completed, its reply waits behind callbacks for
  // the worker (see Core::deliver), or this thread can no longer receive.
  void receiveUntil(const ZelInputStream& stream) {
    for (;;) {
      hold_.clearWakeups();  // before looking: a wake-up given after this is kept
      const auto take = takeAvailable();
      if (completed(stream) || replyHandedOff(stream) || !stillReceiving()) return;
      unlockGlobal();
      // A receive the port took is the worker's to complete, which wakes
      // this thread; the socket may stay readable until then.
      const auto outcome = take == platform::ReceiveHold::Take::NotHere ? hold_.waitForWakeUp(OWN_REPLY_WAIT_SLICE_MS)
                                                                          : hold_.waitForInput(OWN_REPLY_WAIT_SLICE_MS);
      lockGlobal();
      if (outcome == platform::ReceiveHold::Outcome::Closed) return;
    }
  }

  static bool completed(const ZelInputStream& stream) {
    return std::atomic_ref<const uint16_t>(stream.state_).load(std::memory_order_acquire) == 2;
  }
  // The stream waits for a reply the worker is to deliver (it stands for
  // the request, see Core::deliver).
  static bool replyHandedOff(const ZelInputStream& stream) {
    return stream.request_ != nullptr && (stream.request_->mode() & 0x0F) != Request;
  }

 private:
  Core& core_;
  Connection* connection_;
  platform::ReceiveHold hold_;
  uint32_t generation_ = 0;
  bool held_ = false;
};

bool Core::handingOffCallbacks() { return receivingOwnReply; }

void Core::wakeOwnReplyReceiver(const Connection* connection) {
  const int wakeFd = connection->ownReplyWakeFd;
  if (wakeFd >= 0 && wakeFd != platform::threadWakeDescriptor()) platform::signalWakeDescriptor(wakeFd);
}

void Core::writeCatchingReply(Connection* connection) {
  GlobalLock lock;
  // A reply that comes while the request is written (the device may run
  // first once it has the request) is caught by this thread too.
  OwnReplyReceiver receiver(*this, connection);
  const bool held = receiver.begin();
  connection->sendQueuedUnlocked();
  if (held) receiver.takeAvailable();
}

bool Core::receiveOwnReply(Connection* connection, ZelInputStream& stream) {
  // The lock is let go while the caller waits for input: only a caller
  // that holds it no deeper than this may do so.
  if (globalLockHeld()) return false;
  {
    GlobalLock lock;
    if (OwnReplyReceiver::completed(stream)) return true;
    if (stream.state_ != 1) return false;
    OwnReplyReceiver receiver(*this, connection);
    if (!receiver.begin()) return false;
    receiver.receiveUntil(stream);
    if (OwnReplyReceiver::completed(stream)) return true;
    if (!OwnReplyReceiver::replyHandedOff(stream)) return false;
  }
  // The reply waits behind callbacks for the worker, which completes it:
  // the socket is given back, and the caller sleeps.
  StreamAccess::sleepUntilCompleted(stream);
  return true;
}

}  // namespace zelkit::detail
