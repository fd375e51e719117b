#pragma once

#include "zelkit/streams.h"

namespace zelkit::detail {

// Callers of the interface may pass a null reference for "no payload". The
// address is read through a volatile so the compiler cannot assume it is set.
inline ZelOutputStream* streamOrNull(ZelOutputStream& stream) {
  ZelOutputStream* volatile address = &stream;
  return address;
}

}  // namespace zelkit::detail
