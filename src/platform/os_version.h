#pragma once

#include <cstdint>

namespace zelkit::platform {

// The running kernel's release packed into one version word: the major
// number in the low byte, the minor number in the next byte and the patch
// level in the high 16 bits (the layout of the Windows version word, whose
// high word holds the build). 0 when the release cannot be read.
uint32_t osVersion();

}  // namespace zelkit::platform
