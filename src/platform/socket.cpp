// Synchronous socket calls. Descriptors are non-blocking underneath; the
// blocking mode of each socket is emulated by waiting for readiness, so that
// a close from another thread can wake the waiting call.
#include "platform/socket.h"

#include <cerrno>
#include <cstring>

#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "platform/errors.h"
#include "platform/socket_io.h"
#include "platform/socket_table.h"

namespace zelkit::platform {

namespace {

int failWith(int error) {
  setLastSocketErrorFromErrno(error);
  return -1;
}

// Repeats attempt while it would block, waiting for events in between,
// unless the call must not wait.
template <typename Attempt>
ssize_t untilDone(SocketUse& use, short events, bool wait, Attempt attempt) {
  for (;;) {
    const ssize_t result = attempt();
    if (result >= 0) return result;
    const int error = errno;
    if (error == EINTR) continue;
    if ((error != EAGAIN && error != EWOULDBLOCK) || !wait) return failWith(error);
    if (!waitUntilReady(use, events)) return -1;
  }
}

// The socket's own mode, waiting regardless, or never waiting.
enum class Waiting { AsMode, Always, Never };

bool waits(SocketUse& use, Waiting waiting) {
  return waiting == Waiting::Always || (waiting == Waiting::AsMode && !use.nonBlocking());
}

int receiveSync(Socket socket, void* buffer, int length, sockaddr* from, int* fromLength, bool peek,
                Waiting waiting = Waiting::AsMode) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (length < 0) return failWith(EINVAL);
  bool truncated = false;
  const ssize_t received = untilDone(use, POLLIN, waits(use, waiting), [&] {
    return receiveOnce(use.slot(), buffer, static_cast<size_t>(length), from, fromLength, peek, truncated);
  });
  if (received >= 0 && truncated) {
    setLastError(wsa::MessageSize);
    return -1;
  }
  return static_cast<int>(received);
}

// getsockname or getpeername with the int length of the Windows calls.
int socketName(Socket socket, sockaddr* address, int* length, bool peer) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (address == nullptr || length == nullptr || *length < 0) return failWith(EFAULT);
  auto size = static_cast<socklen_t>(*length);
  const int result = peer ? getpeername(use.fd(), address, &size) : getsockname(use.fd(), address, &size);
  if (result != 0) return failWith(errno);
  *length = static_cast<int>(size);
  return 0;
}

}  // namespace

Socket openSocket(int family, int type, int protocol) {
  const int baseType = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
  const int fd = socket(family, baseType | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    failWith(errno);
    return InvalidSocket;
  }
  const int one = 1;
  if (baseType == SOCK_STREAM) {
    // Windows binds a listener over connections in TIME_WAIT, even those of
    // an earlier listener; Linux allows it only when both sockets had
    // SO_REUSEADDR. (An ephemeral bind still prefers a port nobody uses.)
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  }
  if (family == AF_INET6) {
    // Windows keeps IPv6 sockets off IPv4; Linux maps IPv4 into them by default.
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  return adoptDescriptor(fd, baseType == SOCK_STREAM, false);
}

int bindSocket(Socket socket, const sockaddr* address, int length) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (address == nullptr) return failWith(EFAULT);
  if (bind(use.fd(), address, nativeAddressLength(address, length)) != 0) return failWith(errno);
  return 0;
}

int listenSocket(Socket socket, int backlog) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (listen(use.fd(), backlog) != 0) return failWith(errno);
  return 0;
}

int connectSocket(Socket socket, const sockaddr* address, int length) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (address == nullptr) return failWith(EFAULT);
  if (connect(use.fd(), address, nativeAddressLength(address, length)) == 0) return 0;
  if (errno != EINPROGRESS || use.nonBlocking()) return failWith(errno);
  if (!waitUntilReady(use, POLLOUT)) return -1;
  int error = 0;
  socklen_t size = sizeof error;
  getsockopt(use.fd(), SOL_SOCKET, SO_ERROR, &error, &size);
  return error == 0 ? 0 : failWith(error);
}

int setNonBlocking(Socket socket, bool nonBlocking) {
  LockedSlot slot(socket);
  if (!slot) return -1;
  slot->nonBlocking.store(nonBlocking, std::memory_order_relaxed);
  return 0;
}

namespace {

int sendStream(Socket socket, const void* data, int length, Waiting waiting) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (length < 0) return failWith(EINVAL);
  const auto* bytes = static_cast<const char*>(data);
  int sent = 0;
  do {
    iovec piece{const_cast<char*>(bytes + sent), static_cast<size_t>(length - sent)};
    const ssize_t written =
        untilDone(use, POLLOUT, waits(use, waiting), [&] { return sendOnce(use.fd(), &piece, 1, nullptr, 0); });
    if (written < 0) return -1;
    sent += static_cast<int>(written);
    // A blocking send on a stream returns only when every byte is out.
  } while (sent < length && use.slot().stream && waits(use, waiting));
  return sent;
}

}  // namespace

int sendBytes(Socket socket, const void* data, int length) { return sendStream(socket, data, length, Waiting::AsMode); }

int receiveBytes(Socket socket, void* buffer, int length, bool peek) {
  return receiveSync(socket, buffer, length, nullptr, nullptr, peek);
}

int sendBytesWaiting(Socket socket, const void* data, int length) {
  return sendStream(socket, data, length, Waiting::Always);
}

int receiveBytesWaiting(Socket socket, void* buffer, int length, bool peek) {
  return receiveSync(socket, buffer, length, nullptr, nullptr, peek, Waiting::Always);
}

int receiveAvailable(Socket socket, void* buffer, int length) {
  return receiveSync(socket, buffer, length, nullptr, nullptr, false, Waiting::Never);
}

int sendAvailable(Socket socket, const IoBuffer* buffers, int count, bool moreFollows) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (count < 1 || count > MaxSendBuffers) return failWith(EINVAL);
  iovec pieces[MaxSendBuffers];
  for (int i = 0; i < count; ++i) pieces[i] = {const_cast<void*>(buffers[i].data), buffers[i].length};
  return static_cast<int>(
      untilDone(use, POLLOUT, false, [&] { return sendOnce(use.fd(), pieces, count, nullptr, 0, moreFollows); }));
}

int sendDatagram(Socket socket, const void* data, int length, const sockaddr* to, int toLength) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (length < 0) return failWith(EINVAL);
  iovec piece{const_cast<void*>(data), static_cast<size_t>(length)};
  return static_cast<int>(
      untilDone(use, POLLOUT, waits(use, Waiting::AsMode), [&] { return sendOnce(use.fd(), &piece, 1, to, toLength); }));
}

int receiveDatagram(Socket socket, void* buffer, int length, sockaddr* from, int* fromLength) {
  return receiveSync(socket, buffer, length, from, fromLength, false);
}

int setSocketOption(Socket socket, int level, int option, const void* value, int length) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  int widened = 0;
  if (value != nullptr && length == 1) {
    // Windows takes BOOL-like options as one byte; Linux wants an int for most.
    widened = *static_cast<const unsigned char*>(value);
    value = &widened;
    length = sizeof widened;
  }
  if (length < 0) return failWith(EINVAL);
  if (setsockopt(use.fd(), level, option, value, static_cast<socklen_t>(length)) != 0) return failWith(errno);
  return 0;
}

int setNoDelay(Socket socket) {
  const int on = 1;
  return setSocketOption(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int getSocketOption(Socket socket, int level, int option, void* value, int* length) {
  SocketUse use(socket);
  if (!use.valid()) return -1;
  if (value == nullptr || length == nullptr || *length < 1) return failWith(EFAULT);
  int whole = 0;
  socklen_t size = sizeof whole;
  const bool narrow = *length < static_cast<int>(sizeof whole);
  void* target = narrow ? &whole : value;
  if (!narrow) size = static_cast<socklen_t>(*length);
  if (getsockopt(use.fd(), level, option, target, &size) != 0) return failWith(errno);
  if (level == SOL_SOCKET && option == SO_ERROR && size == sizeof(int)) {
    // The pending error in the numbering the library reports.
    int pending;
    std::memcpy(&pending, target, sizeof pending);
    pending = static_cast<int>(socketErrorFromErrno(pending));
    std::memcpy(target, &pending, sizeof pending);
  }
  if (narrow) {
    std::memcpy(value, &whole, static_cast<size_t>(*length));  // the low bytes on this little-endian machine
    return 0;
  }
  *length = static_cast<int>(size);
  return 0;
}

int localAddress(Socket socket, sockaddr* address, int* length) { return socketName(socket, address, length, false); }

int peerAddress(Socket socket, sockaddr* address, int* length) { return socketName(socket, address, length, true); }

int hostName(char* buffer, int size) {
  if (buffer == nullptr || size < 1) return failWith(EFAULT);
  if (gethostname(buffer, static_cast<size_t>(size)) != 0) return failWith(errno == ENAMETOOLONG ? EFAULT : errno);
  buffer[size - 1] = '\0';
  return 0;
}

}  // namespace zelkit::platform
