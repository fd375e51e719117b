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

// The same with the loopback alone and no route at all: whatever is not
// for 127.0.0.0/8 or ::1 fails at once (a name lookup's query to a name
// server, a multicast join). Called, like it, before the process starts
// threads.
std::string enterLoopbackOnlyNetwork();

}  // namespace zeltest
