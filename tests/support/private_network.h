#pragma once

#include <string>

namespace zeltest {

// Moves the calling process into a network namespace of its own, in which
// broadcast and multicast go out on the loopback (the default route points
// at lo, source 127.0.0.1), so that tests of them reach no real network.
// Call it before the process starts threads: threads started later, and
// child processes, share the namespace, which goes away with the process.
// Returns "" on success, else what failed (tests fail on it, never skip).
std::string enterPrivateNetwork();

// The same namespace with only the loopback's own routes: no multicast
// group can be joined and no broadcast sent.
std::string enterPrivateNetworkWithoutRoute();

}  // namespace zeltest
