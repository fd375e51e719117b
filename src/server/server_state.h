#pragma once

#include "zelkit/server.h"

namespace zelkit::detail {

// Process-wide server state, built before the application runs and never
// destroyed.
struct ServerState {
  ZelSession* sessions = nullptr;  // newest first, linked through nextSession_
};

ServerState& serverState();

}  // namespace zelkit::detail
