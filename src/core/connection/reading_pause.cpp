// A peer that sends requests and does not read their replies would make an
// accepted connection hold them without bound. Past a bound its reading
// stops, between two frames, until the replies have drained: nothing is
// lost, the requests wait in the peer's TCP window, and other connections
// are served meanwhile.

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "platform/completion_port.h"
#include "zelkit/server.h"

namespace zelkit::detail {

bool Connection::holdsTooMuchUnsent() const {
  return session != nullptr && (unsentBytes() >= UNSENT_REPLY_BYTES_MAX || queuedCount >= UNSENT_REPLY_PACKETS_MAX);
}

bool Connection::drainedEnoughToRead() const {
  return unsentBytes() <= UNSENT_REPLY_BYTES_MAX / 2 && queuedCount <= UNSENT_REPLY_PACKETS_MAX / 2;
}

bool Connection::pauseReadingIfFull() {
  if (!holdsTooMuchUnsent()) return false;
  readingPaused = true;
  if (hasLog())
    core().log(this, "recv", "Reading paused, %d bytes unsent, %d packets queued", static_cast<int>(unsentBytes()),
               static_cast<int>(queuedCount));
  return true;
}

void Connection::resumeReadingIfDrained() {
  // One resume at a time; a closed socket reads nothing more.
  if (!readingPaused || receiveTicket != 0 || socketHandle <= 0 || !drainedEnoughToRead()) return;
  // Posted, so that the requests are dispatched on the worker, whatever
  // thread sent the replies; it holds the session as a receive does.
  receiveTicket = stampNextTicket(receiveOp);
  receiveLength = 0;
  session->retain();
  platform::postCompletion(core().port(), 0, reinterpret_cast<uintptr_t>(this), &receiveOp.record);
}

void Connection::resumeReading() {
  readingPaused = false;
  if (hasLog()) core().log(this, "recv", "Reading resumed");
  if (receivePhase == ReceivePhase::Tls)
    continueSslReceive();
  else
    parseInbox();
}

}  // namespace zelkit::detail
