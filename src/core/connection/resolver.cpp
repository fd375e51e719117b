#include <cstring>

#include "core/connection/connection.h"
#include "core/wire/conversions.h"
#include "core/engine/lock.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace zelkit::detail {

namespace {

platform::Event* resolverEvent = nullptr;  // created once, never destroyed
bool resolverStarted = false;

Connection* firstResolving() {
  for (Connection* connection = core().connectionList().first(); connection != nullptr;
       connection = connection->next)
    if (connection->state == ConnectionState::Resolving) return connection;
  return nullptr;
}

// Takes the looked-up address and connects; false when its family is unusable.
bool adoptAddress(Connection* connection, const sockaddr_in6& result) {
  const uint16_t port = connection->address.sin6_port;
  if (result.sin6_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&connection->address)->sin_addr =
        reinterpret_cast<const sockaddr_in*>(&result)->sin_addr;
    connection->address.sin6_family = AF_INET;
  } else if (result.sin6_family == AF_INET6) {
    std::memset(&connection->address, 0, sizeof connection->address);
    connection->address.sin6_addr = result.sin6_addr;
    connection->address.sin6_family = AF_INET6;
    connection->address.sin6_port = port;
  } else {
    return false;
  }
  return true;
}

}  // namespace

void Connection::startResolve() {
  GlobalLock lock;
  state = ConnectionState::Resolving;
  core().log(this, "dns ", "gethost");
  if (!resolverStarted) {
    if (resolverEvent == nullptr) resolverEvent = new platform::Event();
    resolverStarted = platform::startThread(resolverThreadEntry, nullptr);
    if (!resolverStarted) {
      // Tried again at the next resolution.
      state = ConnectionState::Idle;
      core().notifyLocal(LocalEvent::ResolveFailed, this);
      return;
    }
  }
  resolverEvent->set();
}

void Connection::resolverThreadEntry(void*) {
  for (;;) {
    resolverEvent->wait();
    GlobalLock lock;
    // The list may change while the lock is released for a look-up, so every
    // look-up restarts the walk.
    while (Connection* connection = firstResolving()) {
      sockaddr_in6 result{};
      const int depth = releaseGlobalCompletely();
      const int error = platform::resolveFirstAddress(connection->host, &result);
      reacquireGlobal(depth);
      // Closed, failed or reconnecting meanwhile: this result is not wanted.
      if (connection->state != ConnectionState::Resolving) continue;
      Core& engine = core();
      if (error != 0) {
        connection->state = ConnectionState::Idle;
        engine.notifyLocal(LocalEvent::ResolveFailed, connection);
        continue;
      }
      if (!adoptAddress(connection, result)) {
        connection->state = ConnectionState::Failed;
        engine.notifyLocal(LocalEvent::ResolveFailed, connection);
        continue;
      }
      char text[64];
      addressToText(reinterpret_cast<sockaddr*>(&connection->address), text, sizeof text);
      engine.log(connection, "dns ", "IP = %s", text);
      connection->addressExpiryTick = (tickCount() + DNS_CACHE_MS) | 1;
      if (engine.suspendState() >= 2) {
        connection->state = ConnectionState::Idle;  // suspended: connected again on resume
        continue;
      }
      connection->connect();
    }
  }
}

}  // namespace zelkit::detail
