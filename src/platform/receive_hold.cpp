#include "platform/receive_hold.h"

#include <poll.h>

#include "platform/completion_port_internal.h"

namespace zelkit::platform {

bool ReceiveHold::hold(Socket socket) {
  release();
  wakeFd_ = threadWakeDescriptor();
  if (wakeFd_ < 0 || !use_.acquire(socket)) return false;
  {
    LockedSlot slot(socket);
    if (slot && slot->generation == use_.generation() && slot->port != nullptr && !slot->receivesHeld) {
      slot->receivesHeld = true;
      updateInterest(*slot);
      socket_ = socket;
      held_ = true;
    }
  }
  // A close under the hold wakes the holder.
  if (held_ && use_.watchClose(wakeFd_)) return true;
  release();
  use_.release();
  return false;
}

void ReceiveHold::release() {
  if (!held_) return;
  held_ = false;
  {
    LockedSlot slot(socket_);
    // A close took the socket off the port already.
    if (slot && slot->generation == use_.generation()) {
      slot->receivesHeld = false;
      updateInterest(*slot);
    }
  }
  use_.release();
}

ReceiveHold::Take ReceiveHold::takeReceive(Overlapped* operation, Completion& out) {
  if (!held_) return Take::NotHere;
  LockedSlot slot(socket_);
  if (!slot || slot->generation != use_.generation() || slot->port == nullptr || slot->input.head != operation)
    return Take::NotHere;
  uint32_t status;
  if (!performOperation(*slot, *operation, status)) return Take::WaitForInput;
  slot->input.pop();
  out = completionOf(*slot, *operation, status);
  return Take::Taken;
}

ReceiveHold::Outcome ReceiveHold::waitForInput(int timeoutMs) { return wait(true, timeoutMs); }

ReceiveHold::Outcome ReceiveHold::waitForWakeUp(int timeoutMs) { return wait(false, timeoutMs); }

ReceiveHold::Outcome ReceiveHold::wait(bool watchInput, int timeoutMs) {
  if (!held_ || !use_.stillOpen()) return Outcome::Closed;
  // The wake descriptor first: a wait for a wake-up alone watches nothing else.
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {use_.fd(), POLLIN, 0}};
  const int ready = poll(fds, watchInput ? 2 : 1, timeoutMs);
  if (!use_.stillOpen()) return Outcome::Closed;
  if (ready > 0 && watchInput && fds[1].revents != 0) return Outcome::Input;
  if (ready > 0 && fds[0].revents != 0) return Outcome::Woken;
  return Outcome::TimedOut;  // or interrupted: the caller looks again
}

void ReceiveHold::clearWakeups() {
  if (wakeFd_ >= 0) drainWakeDescriptor(wakeFd_);
}

}  // namespace zelkit::platform
