// The overlapped operations: each is tried at once when it is the first of
// its direction on its socket, and is otherwise performed later by the
// thread waiting on the port, when the socket is ready.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/completion_port.h"
#include "platform/completion_port_internal.h"
#include "platform/errors.h"
#include "platform/socket_io.h"
#include "platform/socket_table.h"

namespace zelkit::platform {

namespace {

static_assert(MaxSendBuffers <= IOV_MAX, "one sendmsg takes every buffer of a gather");

enum OperationKind : uint32_t { Receive = 1, Send, Accept, Connect };

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The perform functions run with the socket's slot locked. Each returns
// false while the operation has to wait for readiness, and true once it is
// finished, with status telling how.

bool performReceive(const SocketSlot& slot, Overlapped& operation, uint32_t& status) {
  for (;;) {
    bool truncated = false;
    const ssize_t received = receiveOnce(slot, operation.buffer, operation.length, operation.address,
                                         operation.addressLength, false, truncated);
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
    iovec pieces[MaxSendBuffers];
    int count = 0;
    uint32_t skip = operation.progress;
    for (int i = 0; i < operation.pieceCount; ++i) {
      const IoBuffer& piece = operation.pieces[i];
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

// Tries the operation at once when it is the first of its direction (the
// order of a socket's receives, and of its sends, is kept), else queues it.
// A receive of a held socket waits for its holder, which takes it next.
uint32_t start(SocketSlot& slot, OperationQueue& queue, Overlapped& operation) {
  uint32_t status;
  const bool holderTakesIt = &queue == &slot.input && slot.receivesHeld;
  if (queue.empty() && !holderTakesIt && performOperation(slot, operation, status)) {
    complete(slot, operation, status);
  } else {
    queue.push(&operation);
    if (&queue == &slot.output) updateInterest(slot);
  }
  return 0;
}

uint32_t refuse(uint32_t error) {
  setLastError(error);
  return error;
}

// 0 when the locked socket can take an operation: open and joined to a port.
uint32_t readyForOperation(const LockedSlot& slot) {
  if (!slot) return wsa::NotSocket;
  return slot->port == nullptr ? refuse(wsa::Invalid) : 0;
}

void prepare(Overlapped& operation, OperationKind kind) {
  operation.nextPending = nullptr;
  operation.kind = kind;
  operation.progress = 0;
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

bool performOperation(const SocketSlot& slot, Overlapped& operation, uint32_t& status) {
  switch (operation.kind) {
    case Receive: return performReceive(slot, operation, status);
    case Send: return performSend(slot, operation, status);
    case Accept: return performAccept(slot, operation, status);
    case Connect: return performConnect(slot, operation, status);
    default: status = wsa::Invalid; return true;
  }
}

void serviceOperations(const SocketSlot& slot, OperationQueue& queue) {
  while (!queue.empty()) {
    uint32_t status;
    if (!performOperation(slot, *queue.head, status)) return;
    complete(slot, *queue.pop(), status);
  }
}

uint32_t startReceive(Socket socket, void* buffer, uint32_t length, Overlapped* operation) {
  return startReceiveFrom(socket, buffer, length, nullptr, nullptr, operation);
}

uint32_t startReceiveFrom(Socket socket, void* buffer, uint32_t length, sockaddr* from, int* fromLength,
                          Overlapped* operation) {
  if (operation == nullptr || buffer == nullptr || (from != nullptr && fromLength == nullptr))
    return refuse(wsa::Fault);
  if (length == 0) return refuse(wsa::Invalid);
  LockedSlot slot(socket);
  if (const uint32_t error = readyForOperation(slot)) return error;
  prepare(*operation, Receive);
  operation->buffer = buffer;
  operation->length = length;
  operation->address = from;
  operation->addressLength = fromLength;
  return start(*slot, slot->input, *operation);
}

uint32_t startSend(Socket socket, const IoBuffer* buffers, int count, Overlapped* operation) {
  if (operation == nullptr || buffers == nullptr) return refuse(wsa::Fault);
  if (count < 1 || count > MaxSendBuffers) return refuse(wsa::Invalid);
  uint64_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (buffers[i].data == nullptr && buffers[i].length != 0) return refuse(wsa::Fault);
    total += buffers[i].length;
  }
  if (total > 0xFFFFFFFF) return refuse(wsa::Invalid);
  LockedSlot slot(socket);
  if (const uint32_t error = readyForOperation(slot)) return error;
  prepare(*operation, Send);
  operation->pieces = buffers;
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
  if (const uint32_t error = readyForOperation(slot)) return error;
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
  if (const uint32_t error = readyForOperation(slot)) return error;
  if (!slot->output.empty()) return refuse(wsa::Invalid);
  prepare(*operation, Connect);
  if (connect(slot->fd, address, nativeAddressLength(address, length)) == 0) {
    complete(*slot, *operation, status::Success);
  } else if (errno == EINPROGRESS) {
    slot->output.push(operation);
    updateInterest(*slot);
  } else if (isConnectOutcome(errno)) {
    complete(*slot, *operation, completionStatusFromErrno(errno));
  } else {
    return refuse(socketErrorFromErrno(errno));
  }
  return 0;
}

}  // namespace zelkit::platform
