#pragma once

#include <cstdint>

namespace zelkit::detail {

// The library's random source (TLS randoms, RSA padding, login challenges):
// the operating system's random bytes.
void randomBytes(uint8_t* out, int count);

// Four bytes of the operating system's generator. When it fails, the error
// is printed and 0xFFFFFFFF returned.
uint32_t randomWord();

}  // namespace zelkit::detail
