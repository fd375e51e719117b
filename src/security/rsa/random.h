#pragma once

#include <cstdint>

namespace zelkit::detail {

// The library's random source (TLS randoms, RSA padding, login challenges):
// the operating system's random bytes.
void randomBytes(uint8_t* out, int count);

}  // namespace zelkit::detail
