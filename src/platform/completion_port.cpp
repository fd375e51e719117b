// The completion port over epoll. Sockets are registered edge-triggered
// once, when they join the port; an operation is tried at once when it is
// the first of its direction, and otherwise waits in its socket's queue
// until the thread waiting on the port sees readiness and performs it. So
// the waiting thread does all deferred I/O itself, and a socket with nothing
// outstanding costs nothing however often it becomes ready (or hangs up).
// The operations themselves are in overlapped_operations.cpp.
#include "platform/completion_port.h"

#include <algorithm>
#include <cerrno>
#include <mutex>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/completion_port_internal.h"
#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket_table.h"

namespace zelkit::platform {

namespace {

constexpr uint64_t WakeToken = ~uint64_t{0};
// Completions taken from the queue before the sockets are looked at again,
// so that a steady stream of posts cannot starve the sockets.
constexpr int FairnessLimit = 32;
constexpr int EventBatch = 64;

// epoll's token for a socket: its handle and the generation of its opening.
uint64_t tokenOf(const SocketSlot& slot) { return uint64_t{slot.generation} << 32 | static_cast<uint32_t>(slot.fd); }

void wakeSleeper(CompletionPort& port) {
  const uint64_t one = 1;
  if (write(port.wake, &one, sizeof one) < 0) {
    // Only a full counter fails, and then the eventfd is readable anyway.
  }
}

void queueCompletion(CompletionPort& port, const Completion& completion) {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(port.mutex);
    port.queue.push_back(completion);
    wake = port.sleepers > 0;
  }
  if (wake) wakeSleeper(port);
}

Completion postedCompletion(uint32_t bytes, uintptr_t key, Overlapped* operation) {
  Completion completion;
  completion.ok = true;
  completion.bytes = bytes;
  completion.key = key;
  completion.operation = operation;
  completion.ticket = operation != nullptr ? operation->ticket : 0;
  completion.status = status::Success;
  return completion;
}

// Moves the delayed posts that are due onto the queue; with the port's
// mutex held. Returns the milliseconds until the next one is due, rounded
// up so that a wait of that length finds it due, or -1 when none waits.
int releaseDueCompletions(CompletionPort& port) {
  const auto now = std::chrono::steady_clock::now();
  auto next = std::chrono::steady_clock::time_point::max();
  auto kept = port.delayed.begin();
  for (auto& entry : port.delayed) {
    if (entry.due <= now) {
      port.queue.push_back(entry.completion);
    } else {
      next = std::min(next, entry.due);
      *kept++ = entry;
    }
  }
  port.delayed.erase(kept, port.delayed.end());
  if (port.delayed.empty()) return -1;
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

// The shorter of two waits, -1 standing for no end.
int shorterWait(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return std::min(a, b);
}

void handleEvent(const epoll_event& event) {
  const int fd = static_cast<int>(event.data.u64 & 0xFFFFFFFF);
  const auto generation = static_cast<uint32_t>(event.data.u64 >> 32);
  SocketSlot* slot = findSlot(fd);
  if (slot == nullptr) return;
  std::lock_guard<std::mutex> guard(slot->mutex);
  // A late event of a socket closed meanwhile (and perhaps reopened) is dropped.
  if (slot->state != SlotState::Open || slot->generation != generation || slot->port == nullptr) return;
  const bool failed = (event.events & (EPOLLERR | EPOLLHUP)) != 0;
  if (failed || (event.events & EPOLLIN) != 0) serviceOperations(*slot, slot->input);
  if (failed || (event.events & EPOLLOUT) != 0) serviceOperations(*slot, slot->output);
}

}  // namespace

uint32_t interestOf(const SocketSlot& slot) {
  uint32_t events = EPOLLET;
  if (!slot.receivesHeld) events |= EPOLLIN;
  if (!slot.output.empty()) events |= EPOLLOUT;
  return events;
}

bool registerWithPort(SocketSlot& slot, CompletionPort& port) {
  epoll_event event{};
  event.events = interestOf(slot);
  event.data.u64 = tokenOf(slot);
  if (epoll_ctl(port.epoll, EPOLL_CTL_ADD, slot.fd, &event) != 0) return false;
  slot.interest = event.events;
  return true;
}

void updateInterest(SocketSlot& slot) {
  const uint32_t wanted = interestOf(slot);
  if (slot.port == nullptr || wanted == slot.interest) return;
  epoll_event event{};
  event.events = wanted;
  event.data.u64 = tokenOf(slot);
  // A change reports the events that are ready now, so no edge is missed.
  if (epoll_ctl(slot.port->epoll, EPOLL_CTL_MOD, slot.fd, &event) == 0) slot.interest = wanted;
}

Completion completionOf(const SocketSlot& slot, const Overlapped& operation, uint32_t status) {
  Completion completion;
  completion.ok = status == status::Success;
  completion.bytes = operation.progress;
  completion.key = slot.key;
  completion.operation = const_cast<Overlapped*>(&operation);
  completion.ticket = operation.ticket;
  completion.status = status;
  return completion;
}

void complete(const SocketSlot& slot, const Overlapped& operation, uint32_t status) {
  queueCompletion(*slot.port, completionOf(slot, operation, status));
}

CompletionPort* createCompletionPort() {
  auto* port = new CompletionPort;
  port->epoll = epoll_create1(EPOLL_CLOEXEC);
  port->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = WakeToken;
  if (port->epoll < 0 || port->wake < 0 || epoll_ctl(port->epoll, EPOLL_CTL_ADD, port->wake, &event) != 0) {
    setLastSocketErrorFromErrno(errno);
    if (port->epoll >= 0) ::close(port->epoll);
    if (port->wake >= 0) ::close(port->wake);
    delete port;
    return nullptr;
  }
  return port;
}

bool associateSocket(CompletionPort* port, Socket socket, uintptr_t key) {
  LockedSlot slot(socket);
  if (!slot) return false;
  if (port != nullptr && slot->port == port) {
    slot->key = key;
    return true;
  }
  if (port == nullptr || slot->port != nullptr) {
    setLastError(wsa::Invalid);
    return false;
  }
  if (!registerWithPort(*slot, *port)) {
    setLastSocketErrorFromErrno(errno);
    return false;
  }
  slot->port = port;
  slot->key = key;
  return true;
}

void abortPortOperations(SocketSlot& slot) {
  epoll_ctl(slot.port->epoll, EPOLL_CTL_DEL, slot.fd, nullptr);
  while (Overlapped* operation = slot.input.pop()) complete(slot, *operation, status::OperationAborted);
  while (Overlapped* operation = slot.output.pop()) complete(slot, *operation, status::OperationAborted);
  slot.port = nullptr;
}

bool waitForCompletion(CompletionPort* port, uint32_t timeoutMs, Completion& out) {
  const Deadline deadline(timeoutMs == WaitForever ? -1 : static_cast<long long>(timeoutMs));
  bool polled = false;
  for (;;) {
    int waitMs;
    {
      std::lock_guard<std::mutex> guard(port->mutex);
      const int untilDelayed = releaseDueCompletions(*port);
      const bool queued = !port->queue.empty();
      if (queued && port->takenWithoutPolling < FairnessLimit) {
        out = port->queue.front();
        port->queue.pop_front();
        ++port->takenWithoutPolling;
        setLastError(out.status);
        return out.ok;
      }
      waitMs = queued ? 0 : shorterWait(deadline.remainingMs(), untilDelayed);
      if (waitMs == 0 && !queued && polled) {
        out = Completion{};
        setLastError(WaitTimeout);
        return false;
      }
      if (waitMs != 0) ++port->sleepers;
    }
    epoll_event events[EventBatch];
    const int count = epoll_wait(port->epoll, events, EventBatch, waitMs);
    {
      std::lock_guard<std::mutex> guard(port->mutex);
      if (waitMs != 0) --port->sleepers;
      port->takenWithoutPolling = 0;
    }
    polled = true;
    for (int i = 0; i < count; ++i) {
      if (events[i].data.u64 == WakeToken)
        drainWakeDescriptor(port->wake);
      else
        handleEvent(events[i]);
    }
  }
}

void postCompletion(CompletionPort* port, uint32_t bytes, uintptr_t key, Overlapped* operation) {
  queueCompletion(*port, postedCompletion(bytes, key, operation));
}

void postCompletionAfter(CompletionPort* port, uint32_t delayMs, uint32_t bytes, uintptr_t key,
                         Overlapped* operation) {
  const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
  bool wake;
  {
    std::lock_guard<std::mutex> guard(port->mutex);
    port->delayed.push_back({due, postedCompletion(bytes, key, operation)});
    wake = port->sleepers > 0;  // a sleeper's wait may end after the new post is due
  }
  if (wake) wakeSleeper(*port);
}

}  // namespace zelkit::platform
