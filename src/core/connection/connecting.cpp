#include <cstring>

#include "core/connection/connection.h"
#include "core/wire/conversions.h"
#include "core/engine/lock.h"
#include "platform/completion_port.h"
#include "platform/errors.h"
#include "platform/socket.h"

namespace zelkit::detail {

namespace {

int addressLength(const sockaddr_in6& address) {
  return address.sin6_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

}  // namespace

void Connection::connect() {
  GlobalLock lock;
  if (session != nullptr || state >= ConnectionState::Connecting) return;
  if (address.sin6_family == 0) {
    startResolve();
    return;
  }
  Core& engine = core();
  const int32_t timeout = engine.connectTimeout();
  // Spread the connects to many devices of one subnet.
  const int32_t spread = isIpv4() ? (ntohl(ipv4Address()) & 7) : 0;
  if (deferIfBusy && engine.pingSocketOpen() && pendingConnects >= BUSY_PENDING_CONNECTS) {
    state = ConnectionState::Deferred;
    deferCountdownMs = timeout / 6 + (connectAttempts + spread) * 50 + 150;
    engine.log(this, "conn", "Defer connect for %d ms (pending=%d)", deferCountdownMs, pendingConnects);
    return;
  }
  // The echo probe reaches IPv4 devices only.
  if (timeout > 0 && state < ConnectionState::Reachable && engine.pingSocketOpen() && isIpv4()) {
    if (connectAttempts > MAX_ECHO_ROUNDS) {
      state = ConnectionState::Idle;
      connectAttempts = 0;
      engine.notifyLocal(LocalEvent::ConnectFailed, this);
      return;
    }
    engine.log(this, "conn", "Poke");
    state = ConnectionState::Deferred;
    deferCountdownMs = timeout / 6 + (connectAttempts + spread) * 50;
    if (engine.sendPing(ipv4Address()) == 0) return;
  }
  deferIfBusy = false;
  if (state == ConnectionState::Reachable) engine.log(this, "conn", "SYNC");

  state = ConnectionState::Connecting;
  connectRank = pendingConnects;
  ++pendingConnects;
  tunnelPending = httpScheme && port() != DEFAULT_ZEL_PORT;
  socketHandle = platform::openSocket(address.sin6_family, SOCK_STREAM, 0);
  if (socketHandle < 0) {
    // The registration request times out and ends the attempt.
    engine.log(this, "conn", "Error creating socket %d", static_cast<int>(platform::lastError()));
    socketHandle = 0;
  } else {
    // Sends are tried at once and must not block (the lock is held).
    platform::setNonBlocking(socketHandle, true);
    // Requests and replies are small frames: none may wait for an ACK.
    platform::setNoDelay(socketHandle);
    platform::associateSocket(engine.port(), socketHandle, reinterpret_cast<uintptr_t>(this));
    sockaddr_in6 any{};
    makeSockaddr(reinterpret_cast<sockaddr*>(&any), address.sin6_family, nullptr, 0, 0);
    if (platform::bindSocket(socketHandle, reinterpret_cast<sockaddr*>(&any), addressLength(address)) != 0)
      engine.log(this, "conn", "Error binding socket for ConnectEx %d\n", static_cast<int>(platform::lastError()));
    const uint32_t ticket = stampNextTicket(sendOp);
    const uint32_t error = platform::startConnect(socketHandle, reinterpret_cast<sockaddr*>(&address),
                                                  addressLength(address), &sendOp.record);
    if (error != 0)
      engine.log(this, "conn", "Error executing ConnectEx %d\n", static_cast<int>(error));
    else
      sendTicket = ticket;
  }
  startRegistration();
}

void Connection::onConnected() {
  --pendingConnects;
  state = ConnectionState::TransportUp;
  if (tls) {
    if (startSsl(false) != 0) {
      close(LocalEvent::ConnectFailed, "TLS not available", 0);
      core().checkRequestTimeouts(this, 0);
      return;
    }
  } else {
    startHeaderReceive();
  }
  if (socketHandle == 0) return;  // the receive could not be set up
  if (tunnelPending) sendTunnelRequest();
  sendQueued();
}

}  // namespace zelkit::detail
