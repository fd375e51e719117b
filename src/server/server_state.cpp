#include "server/server_state.h"

namespace zelkit::detail {

ServerState& serverState() {
  static ServerState* const state = [] {
    auto* built = new ServerState();
    installServerSeam(built);
    return built;
  }();
  return *state;
}

// Built at load, before any thread of the library or the application can
// race for it.
[[maybe_unused]] static ServerState& builtAtLoad = serverState();

}  // namespace zelkit::detail
