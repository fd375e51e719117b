#pragma once

#include <cstddef>

namespace zelkit::platform {

// Fills the buffer with the operating system's random bytes; false on failure.
bool randomBytes(void* buffer, std::size_t length);

}  // namespace zelkit::platform
