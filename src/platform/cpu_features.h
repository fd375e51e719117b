#pragma once

// What the processor offers beyond the base instruction set, for the
// faster paths of the ciphers and hashes.
namespace zelkit::platform {

// AES round instructions (with SSSE3 byte shuffles).
bool cpuHasAesInstructions();
// SHA-1 instructions (with SSE4.1 and SSSE3).
bool cpuHasShaInstructions();

}  // namespace zelkit::platform
