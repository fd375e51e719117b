#pragma once

#include "core/engine/server_seam.h"
#include "server/dispatch/handler_table.h"
#include "zelkit/server.h"

namespace zelkit::detail {

class BackChannelReceiver;

constexpr int HTTP_LISTENER = 1;
constexpr int HTTPS_LISTENER = 2;

// What a timer of ZelServer::registerTimer calls; one record per timer, so
// that timers of one context stay apart.
struct ServerTimer {
  ServerTimer* next;
  void (*function)(void*);
  void* context;
};

// Process-wide server state, built before the application runs and never
// destroyed. The handler tables are written by the application before the
// listeners start.
struct ServerState final : ServerSeam {
  HandlerTable handlers;
  // Indexed by listener: the HTTP and the HTTPS port's request handler.
  ZelRequestHandler httpHandlers[3] = {};
  ZelSession* sessions = nullptr;  // newest first, linked through nextSession_; under the library lock
  ServerTimer* timers = nullptr;   // under the library lock
  BackChannelReceiver* backChannel = nullptr;  // under the library lock; made by the first receiver callback

  ZelSession*& sessionList() override { return sessions; }
  ZelRequestHandler httpHandler(bool tls) const override { return httpHandlers[tls ? HTTPS_LISTENER : HTTP_LISTENER]; }
};

ServerState& serverState();

}  // namespace zelkit::detail
