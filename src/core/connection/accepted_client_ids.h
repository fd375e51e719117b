#pragma once

#include <cstdint>

namespace zelkit::detail {

// Client ids of accepted connections. An id is held by one open connection
// at a time, from its accept to its close, and 0 is never given: a login
// answers a challenge that names the id, and the server finds sessions by it.
// All under the library lock.

// Whether an accept can be given an id now.
bool acceptedClientIdLeft();
// The first id after the one given last that no open connection holds
// (the counter wraps); 0 when every id is held.
uint16_t takeAcceptedClientId();
// The id is free again; 0 and ids not held are ignored.
void releaseAcceptedClientId(uint16_t id);
// Where the search for the next id starts (tests make the counter wrap).
void setLastAcceptedClientId(uint16_t id);
// How many ids open connections hold.
uint32_t acceptedClientIdsInUse();

}  // namespace zelkit::detail
