#pragma once

#include <chrono>
#include <cstdint>

namespace zeltest {

// Waits until something listens on 127.0.0.1:port (as /proc/net/tcp shows
// it, so no connection is made to find out); false after the time-out.
bool waitUntilListening(uint16_t port, std::chrono::milliseconds timeout);

}  // namespace zeltest
