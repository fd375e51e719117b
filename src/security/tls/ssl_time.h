#pragma once

#include <cstdint>

namespace zelkit::detail {

constexpr uint32_t kUnixTimeOf2000 = 946684800;

// Seconds since 2000-01-01 00:00:00 UTC.
uint32_t sslTime();

}  // namespace zelkit::detail
