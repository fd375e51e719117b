#include "support/tls_socket_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zelkit::test {

namespace {

int readCallback(char* buffer, int length, int flags, void* user) {
  auto* end = static_cast<SocketEnd*>(user);
  for (;;) {
    const ssize_t got = ::recv(end->socket, buffer, static_cast<size_t>(length), flags);
    if (got > 0) return static_cast<int>(got);
    if (got < 0 && errno == EINTR) continue;
    return -1;  // closed, failed or timed out
  }
}

int writeCallback(char* buffer, int length, int flags, void* user) {
  auto* end = static_cast<SocketEnd*>(user);
  for (;;) {
    const ssize_t sent = ::send(end->socket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    if (errno == EINTR) continue;
    return -1;
  }
}

void setTimeouts(int socket) {
  const timeval timeout{10, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

SocketEnd::SocketEnd(int connected) : socket(connected) {
  if (socket < 0) return;
  setTimeouts(socket);
  ctx = detail::sslCreate(readCallback, writeCallback, this);
}

SocketEnd::~SocketEnd() {
  detail::sslFree(ctx);
  if (socket >= 0) ::close(socket);
}

int connectLoopback(uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  const sockaddr_in address = loopback(port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

uint16_t freeLoopbackPort() {
  LoopbackListener probe;
  return probe.port();
}

LoopbackListener::LoopbackListener() {
  socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(socket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(socket_, 16) == 0 &&
      ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

LoopbackListener::~LoopbackListener() {
  if (socket_ >= 0) ::close(socket_);
}

int LoopbackListener::accept(int timeoutMs) {
  pollfd pfd{socket_, POLLIN, 0};
  if (::poll(&pfd, 1, timeoutMs) <= 0) return -1;
  return ::accept4(socket_, nullptr, nullptr, SOCK_CLOEXEC);
}

int clientHandshake(SocketEnd& end, uint64_t peerKey) { return detail::sslConnect(end.ctx, peerKey, 5000); }

int serverHandshake(SocketEnd& end) {
  for (;;) {
    const int result = detail::sslHandshakeStep(end.ctx);
    if (result != 0) return result;
  }
}

bool writeAll(SocketEnd& end, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const int written = detail::sslWrite(end.ctx, text.data() + done, static_cast<int>(text.size() - done), 0);
    if (written < 0) return false;
    done += static_cast<size_t>(written);
  }
  // Anything still waiting in the engine goes out too.
  while (end.ctx->sendFlushed < end.ctx->sendFill) {
    if (detail::sslWrite(end.ctx, nullptr, 0, 0) < 0) return false;
  }
  return true;
}

std::string readUntilClosed(SocketEnd& end, int* result) {
  std::string text;
  char buffer[4096];
  int got;
  // The transport blocks, so 0 only means a record is not whole yet.
  while ((got = detail::sslRead(end.ctx, buffer, sizeof buffer, 0)) >= 0) text.append(buffer, static_cast<size_t>(got));
  if (result != nullptr) *result = got;
  return text;
}

}  // namespace zelkit::test
