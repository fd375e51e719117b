#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/completion_port.h"
#include "platform/socket.h"

// Loopback peers written with plain sockets, and layer sockets that talk to
// them. Set-up failures abort: a test cannot go on without its sockets.
namespace zelkit::platform::loopback {

inline void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "test set-up failed: %s\n", what);
    std::abort();
  }
}

inline sockaddr_in address(uint16_t port) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  out.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return out;
}

inline sockaddr* raw(sockaddr_in& address) { return reinterpret_cast<sockaddr*>(&address); }

inline uint16_t plainPort(int fd) {
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  require(getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0, "getsockname");
  return ntohs(bound.sin_port);
}

inline uint16_t layerPort(Socket socket) {
  sockaddr_in bound{};
  int length = sizeof bound;
  require(localAddress(socket, reinterpret_cast<sockaddr*>(&bound), &length) == 0, "localAddress");
  return ntohs(bound.sin_port);
}

// A plain socket of the type bound to 127.0.0.1 on a free port.
inline int plainBound(int type) {
  const int fd = socket(AF_INET, type, 0);
  sockaddr_in any = address(0);
  require(fd >= 0 && bind(fd, raw(any), sizeof any) == 0, "plain bind");
  return fd;
}

inline int plainListener(int backlog = 16) {
  const int fd = plainBound(SOCK_STREAM);
  require(listen(fd, backlog) == 0, "plain listen");
  return fd;
}

inline int plainConnect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = address(port);
  require(fd >= 0 && connect(fd, raw(to), sizeof to) == 0, "plain connect");
  return fd;
}

// A layer socket bound to 127.0.0.1 on a free port.
inline Socket layerBound(int type) {
  const Socket socket = openSocket(AF_INET, type, 0);
  sockaddr_in any = address(0);
  require(socket != InvalidSocket && bindSocket(socket, raw(any), sizeof any) == 0, "layer bind");
  return socket;
}

// A port the kernel refuses connects to: bound, never listening.
struct RefusingPort {
  int fd = plainBound(SOCK_STREAM);
  uint16_t port = plainPort(fd);
  ~RefusingPort() { ::close(fd); }
};

// A layer stream socket connected to a plain peer.
struct Connection {
  Socket layer = InvalidSocket;
  int peer = -1;

  Connection() {
    const int listener = plainListener();
    layer = openSocket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = address(plainPort(listener));
    require(layer != InvalidSocket && connectSocket(layer, raw(to), sizeof to) == 0, "layer connect");
    peer = accept(listener, nullptr, nullptr);
    require(peer >= 0, "accept");
    ::close(listener);
  }
  ~Connection() {
    if (layer != InvalidSocket) closeSocket(layer);
    if (peer >= 0) ::close(peer);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
};

// Closes a plain socket with a reset instead of an orderly end.
inline void resetPlain(int& fd) {
  const linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(fd);
  fd = -1;
}

// Reads exactly length bytes from a plain socket; false on end or error.
inline bool readFully(int fd, void* buffer, size_t length) {
  auto* bytes = static_cast<char*>(buffer);
  while (length > 0) {
    const ssize_t got = recv(fd, bytes, length, 0);
    if (got <= 0) return false;
    bytes += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

// The process's one port (ports are never destroyed).
inline CompletionPort* testPort() {
  static CompletionPort* port = createCompletionPort();
  require(port != nullptr, "completion port");
  return port;
}

// One wait with a generous limit; a time-out shows as operation == null.
inline Completion nextCompletion(uint32_t timeoutMs = 5000) {
  Completion completion;
  waitForCompletion(testPort(), timeoutMs, completion);
  return completion;
}

}  // namespace zelkit::platform::loopback
