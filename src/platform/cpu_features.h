#pragma once

// What the processor offers beyond the base instruction set, for the
// faster paths of the ciphers and hashes.
namespace zelkit::platform {

// AES round instructions (with SSSE3 byte shuffles).
bool cpuHasAesInstructions();
// SHA-1 instructions (with SSE4.1 and SSSE3).
bool cpuHasShaInstructions();
// With false, both report false from then on, as on a processor without
// them: tests and benchmarks run the portable code beside the fast paths.
void cpuUseInstructionExtensions(bool use);

}  // namespace zelkit::platform
