#include "security/hash/sha1_blocks.h"

#include "platform/cpu_features.h"
#include "security/hash/sha1_rounds_x86.h"

// SHA-1 in the processor's SHA instructions: four rounds per instruction
// and the message schedule in two more, several times the speed of the
// plain code, which the record MACs of the TLS engine feel most.
namespace zelkit::detail {

#if defined(__x86_64__) || defined(__i386__)

bool sha1InstructionsAvailable() {
  return platform::cpuHasShaInstructions();
}

ZELKIT_SHA_TARGET void sha1InstructionsBlocks(uint32_t hash[5], const uint8_t* blocks, uint32_t count) {
  Sha1Lanes lanes(hash);
  NothingBetweenRounds nothing;
  for (uint32_t i = 0; i < count; ++i, blocks += 64) lanes.compress(blocks, nothing);
  lanes.store(hash);
}

#else

bool sha1InstructionsAvailable() { return false; }
void sha1InstructionsBlocks(uint32_t*, const uint8_t*, uint32_t) {}

#endif

}  // namespace zelkit::detail
