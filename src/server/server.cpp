#include <new>

#include "core/engine/core.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

constexpr uint32_t DEFAULT_RESPONSE_TIMEOUT_MS = 5000;

}  // namespace

ZelServer::ZelServer() : responseTimeoutMs_(DEFAULT_RESPONSE_TIMEOUT_MS) { detail::core().setServer(this); }

ZelSession* ZelServer::createSession() { return new (std::nothrow) ZelSession(); }

}  // namespace zelkit
