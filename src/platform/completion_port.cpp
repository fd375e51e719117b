// The completion port over epoll. Sockets are registered edge-triggered
// once, when they join the port; an operation is tried at once when it is
// the first of its direction, and otherwise waits in its socket's queue
// until the thread waiting on the port sees readiness and performs it. So
// the waiting thread does all deferred I/O itself, and a socket with nothing
// outstanding costs nothing however often it becomes ready (or hangs up).
#include "platform/completion_port.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket_io.h"
#include "platform/socket_table.h"

namespace zelkit::platform {

struct CompletionPort {
  int epoll = -1;
  int wake = -1;  // eventfd: a completion was queued while a thread slept in epoll_wait
  std::mutex mutex;
  std::deque<Completion> queue;
  int sleepers = 0;
  int takenWithoutPolling = 0;
};

namespace {

enum OperationKind : uint32_t { Receive = 1, ReceiveFrom, Send, Accept, Connect };

constexpr uint64_t WakeToken = ~uint64_t{0};
constexpr uint32_t SocketEvents = EPOLLIN | EPOLLOUT | EPOLLET;
// Completions taken from the queue before the sockets are looked at again,
// so that a steady stream of posts cannot starve the sockets.
constexpr int FairnessLimit = 32;
constexpr int EventBatch = 64;

// epoll's token for a socket: its handle and the generation of its opening.
uint64_t tokenOf(const SocketSlot& slot) { return uint64_t{slot.generation} << 32 | static_cast<uint32_t>(slot.fd); }

bool registerWithPort(const SocketSlot& slot, CompletionPort& port) {
  epoll_event event{};
  event.events = SocketEvents;
  event.data.u64 = tokenOf(slot);
  return epoll_ctl(port.epoll, EPOLL_CTL_ADD, slot.fd, &event) == 0;
}

void queueCompletion(CompletionPort& port, const Completion& completion) {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(port.mutex);
    port.queue.push_back(completion);
    wake = port.sleepers > 0;
  }
  if (wake) {
    const uint64_t one = 1;
    if (write(port.wake, &one, sizeof one) < 0) {
      // Only a full counter fails, and then the eventfd is readable anyway.
    }
  }
}

// Queues the operation's completion; the record is not touched afterwards.
void complete(const SocketSlot& slot, const Overlapped& operation, uint32_t status) {
  Completion completion;
  completion.ok = status == status::Success;
  completion.bytes = operation.progress;
  completion.key = slot.key;
  completion.operation = const_cast<Overlapped*>(&operation);
  completion.status = status;
  queueCompletion(*slot.port, completion);
}

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The perform functions run with the socket's slot locked. Each returns
// false while the operation has to wait for readiness, and true once it is
// finished, with status telling how.

bool performReceive(const SocketSlot& slot, Overlapped& operation, uint32_t& status) {
  sockaddr* from = operation.kind == ReceiveFrom ? operation.address : nullptr;
  for (;;) {
    bool truncated = false;
    const ssize_t received =
        receiveOnce(slot, operation.buffer, operation.length, from, operation.addressLength, false, truncated);
    if (received >= 0) {
      operation.progress = static_cast<uint32_t>(received);
      status = truncated ? status::MoreData : status::Success;
      return true;
    }
    if (errno == EINTR) continue;
    if (wouldBlock(errno)) return false;
    status = completionStatusFromErrno(errno);
    return true;
  }
}

bool performSend(const SocketSlot& slot, Overlapped& operation, uint32_t& status) {
  for (;;) {
    iovec pieces[8];
    int count = 0;
    uint32_t skip = operation.progress;
    for (int i = 0; i < operation.pieceCount; ++i) {
      const Overlapped::Piece& piece = operation.pieces[i];
      if (skip >= piece.length) {
        skip -= piece.length;
        continue;
      }
      pieces[count++] = {const_cast<char*>(static_cast<const char*>(piece.data)) + skip, piece.length - skip};
      skip = 0;
    }
    if (count == 0) {
      status = status::Success;
      return true;
    }
    const ssize_t sent = sendOnce(slot.fd, pieces, count, nullptr, 0);
    if (sent >= 0) {
      operation.progress += static_cast<uint32_t>(sent);
      continue;
    }
    if (errno == EINTR) continue;
    if (wouldBlock(errno)) return false;
    status = completionStatusFromErrno(errno);
    return true;
  }
}

// Puts the accepted descriptor in place of the prepared socket (keeping its
// handle) and fills the address buffer: local address, then the peer's.
uint32_t adoptAccepted(int fd, const Overlapped& operation, const sockaddr_storage& peer, socklen_t peerLength) {
  SocketSlot* prepared = findSlot(operation.acceptSocket);
  if (prepared == nullptr) {
    ::close(fd);
    return status::OperationAborted;
  }
  std::lock_guard<std::mutex> guard(prepared->mutex);
  if (prepared->state != SlotState::Open || prepared->generation != operation.acceptGeneration) {
    ::close(fd);  // the prepared socket was closed meanwhile
    return status::OperationAborted;
  }
  if (dup3(fd, prepared->fd, O_CLOEXEC) < 0) {
    const int error = errno;
    ::close(fd);
    return completionStatusFromErrno(error);
  }
  ::close(fd);
  prepared->stream = true;
  // The replaced descriptor left the port's epoll set with its old file.
  if (prepared->port != nullptr) registerWithPort(*prepared, *prepared->port);

  auto* slots = static_cast<uint8_t*>(operation.buffer);
  std::memset(slots, 0, 2 * AcceptAddressSlot);
  sockaddr_storage local{};
  socklen_t localLength = sizeof local;
  getsockname(prepared->fd, reinterpret_cast<sockaddr*>(&local), &localLength);
  std::memcpy(slots, &local, std::min<socklen_t>(localLength, AcceptAddressSlot));
  std::memcpy(slots + AcceptAddressSlot, &peer, std::min<socklen_t>(peerLength, AcceptAddressSlot));
  return status::Success;
}

bool performAccept(const SocketSlot& listener, Overlapped& operation, uint32_t& status) {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = accept4(listener.fd, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      status = adoptAccepted(fd, operation, peer, peerLength);
      return true;
    }
    // A connection reset before it was taken is skipped, as Windows does.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (wouldBlock(errno)) return false;
    status = completionStatusFromErrno(errno);
    return true;
  }
}

bool performConnect(const SocketSlot& slot, Overlapped&, uint32_t& status) {
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(slot.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  if (error != 0) {
    status = completionStatusFromErrno(error);
    return true;
  }
  sockaddr_storage peer;
  socklen_t peerLength = sizeof peer;
  if (getpeername(slot.fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) return false;  // still under way
  status = status::Success;
  return true;
}

bool perform(const SocketSlot& slot, Overlapped& operation, uint32_t& status) {
  switch (operation.kind) {
    case Receive:
    case ReceiveFrom: return performReceive(slot, operation, status);
    case Send: return performSend(slot, operation, status);
    case Accept: return performAccept(slot, operation, status);
    case Connect: return performConnect(slot, operation, status);
    default: status = wsa::Invalid; return true;
  }
}

// Performs the queued operations in order until one has to wait.
void service(const SocketSlot& slot, OperationQueue& queue) {
  while (!queue.empty()) {
    uint32_t status;
    if (!perform(slot, *queue.head, status)) return;
    complete(slot, *queue.pop(), status);
  }
}

// Tries the operation at once when it is the first of its direction (the
// order of a socket's receives, and of its sends, is kept), else queues it.
uint32_t start(SocketSlot& slot, OperationQueue& queue, Overlapped& operation) {
  uint32_t status;
  if (queue.empty() && perform(slot, operation, status))
    complete(slot, operation, status);
  else
    queue.push(&operation);
  return 0;
}

uint32_t refuse(uint32_t error) {
  setLastError(error);
  return error;
}

void prepare(Overlapped& operation, OperationKind kind) {
  operation.nextPending = nullptr;
  operation.kind = kind;
  operation.progress = 0;
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
  if (failed || (event.events & EPOLLIN) != 0) service(*slot, slot->input);
  if (failed || (event.events & EPOLLOUT) != 0) service(*slot, slot->output);
}

// Errors of a connect that are its outcome, reported by its completion.
bool isConnectOutcome(int error) {
  switch (error) {
    case ECONNREFUSED:
    case ECONNRESET:
    case ETIMEDOUT:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTUNREACH:
    case EHOSTDOWN: return true;
    default: return false;
  }
}

}  // namespace

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
      const bool queued = !port->queue.empty();
      if (queued && port->takenWithoutPolling < FairnessLimit) {
        out = port->queue.front();
        port->queue.pop_front();
        ++port->takenWithoutPolling;
        setLastError(out.status);
        return out.ok;
      }
      waitMs = queued ? 0 : deadline.remainingMs();
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
  Completion completion;
  completion.ok = true;
  completion.bytes = bytes;
  completion.key = key;
  completion.operation = operation;
  completion.status = status::Success;
  queueCompletion(*port, completion);
}

uint32_t startReceive(Socket socket, void* buffer, uint32_t length, Overlapped* operation) {
  if (operation == nullptr || buffer == nullptr) return refuse(wsa::Fault);
  if (length == 0) return refuse(wsa::Invalid);
  LockedSlot slot(socket);
  if (!slot) return wsa::NotSocket;
  if (slot->port == nullptr) return refuse(wsa::Invalid);
  prepare(*operation, Receive);
  operation->buffer = buffer;
  operation->length = length;
  return start(*slot, slot->input, *operation);
}

uint32_t startReceiveFrom(Socket socket, void* buffer, uint32_t length, sockaddr* from, int* fromLength,
                          Overlapped* operation) {
  if (operation == nullptr || buffer == nullptr || (from != nullptr && fromLength == nullptr))
    return refuse(wsa::Fault);
  if (length == 0) return refuse(wsa::Invalid);
  LockedSlot slot(socket);
  if (!slot) return wsa::NotSocket;
  if (slot->port == nullptr) return refuse(wsa::Invalid);
  prepare(*operation, ReceiveFrom);
  operation->buffer = buffer;
  operation->length = length;
  operation->address = from;
  operation->addressLength = fromLength;
  return start(*slot, slot->input, *operation);
}

uint32_t startSend(Socket socket, const IoBuffer* buffers, int count, Overlapped* operation) {
  if (operation == nullptr || buffers == nullptr) return refuse(wsa::Fault);
  if (count < 1 || count > 8) return refuse(wsa::Invalid);
  uint64_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (buffers[i].data == nullptr && buffers[i].length != 0) return refuse(wsa::Fault);
    total += buffers[i].length;
  }
  if (total > 0xFFFFFFFF) return refuse(wsa::Invalid);
  LockedSlot slot(socket);
  if (!slot) return wsa::NotSocket;
  if (slot->port == nullptr) return refuse(wsa::Invalid);
  prepare(*operation, Send);
  for (int i = 0; i < count; ++i) operation->pieces[i] = {buffers[i].data, buffers[i].length};
  operation->pieceCount = count;
  operation->length = static_cast<uint32_t>(total);
  return start(*slot, slot->output, *operation);
}

uint32_t startAccept(Socket listener, Socket prepared, void* addressBuffer, Overlapped* operation) {
  if (operation == nullptr || addressBuffer == nullptr) return refuse(wsa::Fault);
  if (prepared == listener) return refuse(wsa::Invalid);
  uint32_t preparedGeneration;
  {
    LockedSlot target(prepared);
    if (!target) return wsa::NotSocket;
    preparedGeneration = target->generation;
  }
  LockedSlot slot(listener);
  if (!slot) return wsa::NotSocket;
  if (slot->port == nullptr) return refuse(wsa::Invalid);
  prepare(*operation, Accept);
  operation->buffer = addressBuffer;
  operation->acceptSocket = prepared;
  operation->acceptGeneration = preparedGeneration;
  return start(*slot, slot->input, *operation);
}

void acceptAddresses(void* addressBuffer, sockaddr** local, sockaddr** peer) {
  auto* slots = static_cast<uint8_t*>(addressBuffer);
  *local = reinterpret_cast<sockaddr*>(slots);
  *peer = reinterpret_cast<sockaddr*>(slots + AcceptAddressSlot);
}

uint32_t startConnect(Socket socket, const sockaddr* address, int length, Overlapped* operation) {
  if (operation == nullptr || address == nullptr) return refuse(wsa::Fault);
  LockedSlot slot(socket);
  if (!slot) return wsa::NotSocket;
  if (slot->port == nullptr || !slot->output.empty()) return refuse(wsa::Invalid);
  prepare(*operation, Connect);
  if (connect(slot->fd, address, nativeAddressLength(address, length)) == 0) {
    complete(*slot, *operation, status::Success);
  } else if (errno == EINPROGRESS) {
    slot->output.push(operation);
  } else if (isConnectOutcome(errno)) {
    complete(*slot, *operation, completionStatusFromErrno(errno));
  } else {
    return refuse(socketErrorFromErrno(errno));
  }
  return 0;
}

}  // namespace zelkit::platform
