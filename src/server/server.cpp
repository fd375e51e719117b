#include <new>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "server/server_state.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

constexpr uint32_t DEFAULT_RESPONSE_TIMEOUT_MS = 5000;
constexpr unsigned short DEFAULT_HTTP_PORT = 80;
constexpr unsigned short DEFAULT_HTTPS_PORT = 443;

// Lets go of one level of the library lock for its scope.
struct LockLetGo {
  LockLetGo() { detail::unlockGlobal(); }
  ~LockLetGo() { detail::lockGlobal(); }
  LockLetGo(const LockLetGo&) = delete;
  LockLetGo& operator=(const LockLetGo&) = delete;
};

}  // namespace

ZelServer::ZelServer() : responseTimeoutMs_(DEFAULT_RESPONSE_TIMEOUT_MS) {
  detail::core().setServer(this);
  registerBuiltInHandlers();
}

ZelServer::ZelServer(const ZelServer& other) : responseTimeoutMs_(other.responseTimeoutMs_) {}

ZelServer& ZelServer::operator=(const ZelServer& other) {
  responseTimeoutMs_ = other.responseTimeoutMs_;
  return *this;
}

ZelServer::~ZelServer() {
  // Listeners of a server that is gone accept no more sessions.
  detail::GlobalLock lock;
  if (detail::core().server() == this) detail::core().setServer(nullptr);
}

ZelSession* ZelServer::createSession() { return new (std::nothrow) ZelSession(); }

RtpStreamerSession* ZelServer::createRtpStreamerSession(ZelSessionRef const&, RtpStreamDescriptor*, int, int& error) {
  error = -1;
  return nullptr;
}

void ZelServer::registerCallback(unsigned long commandWord, ZelRequestHandler handler) {
  detail::serverState().handlers.insert(static_cast<uint32_t>(commandWord), handler);
}

void ZelServer::run(unsigned short port) { detail::core().startServer(port, false); }

void ZelServer::start(unsigned short port) { detail::core().startServer(port, true); }

int ZelServer::bindHttpPort(unsigned short port, bool https, ZelRequestHandler handler) {
  const int listener = https ? detail::HTTPS_LISTENER : detail::HTTP_LISTENER;
  if (port == 0) port = https ? DEFAULT_HTTPS_PORT : DEFAULT_HTTP_PORT;
  detail::GlobalLock lock;  // the worker reads the handler under it
  detail::core().setServerPort(listener, port);
  detail::serverState().httpHandlers[listener] = handler;
  return 0;
}

ZelSessionRef ZelServer::getSession(unsigned short clientId) { return detail::core().getSessionRef(clientId); }

void ZelServer::notify(ZelHeader& header, ZelOutputStream& payload) {
  detail::GlobalLock lock;
  ZelSessionRef current;
  for (ZelSession* session = detail::serverState().sessions; session != nullptr; session = session->nextSession_) {
    // The handle keeps the session, and with it its place in the list,
    // while the lock is let go for the send.
    current = session->self_;
    // A connection still speaking HTTP takes no Zel frames.
    if (!current || session->connection_->httpBuffer != nullptr) continue;
    ZelOutputStream copy(payload);
    LockLetGo unlocked;
    session->notify(header, copy);
  }
}

}  // namespace zelkit
