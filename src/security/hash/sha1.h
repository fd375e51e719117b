#pragma once

#include <cstdint>

// SHA-1 (FIPS 180-1, RFC 3174) over a caller-owned context: reset, inputs,
// result. The functions return 0, or a code that sticks to the context.
namespace zelkit::detail {

enum Sha1Status : int32_t {
  Sha1Success = 0,
  Sha1Null = 1,           // null context or data
  Sha1InputTooLong = 1,   // the 64-bit bit length overflowed
  Sha1StateError = 3,     // input after the result
};

struct Sha1Context {
  uint32_t intermediateHash[5];
  uint32_t lengthLow;   // message length in bits
  uint32_t lengthHigh;
  int32_t messageBlockIndex;  // bytes pending in messageBlock
  uint8_t messageBlock[64];
  int32_t computed;   // 1 once the result has been produced
  int32_t corrupted;  // 0, or the error that sticks
};

int32_t sha1Reset(Sha1Context* ctx);
int32_t sha1Input(Sha1Context* ctx, const uint8_t* data, uint32_t length);
// Repeated calls give the same digest; input after it is refused until reset.
int32_t sha1Result(Sha1Context* ctx, uint8_t digest[20]);
// Counts `count` whole blocks that the caller compressed into
// intermediateHash itself, while no partial block was pending.
void sha1CountCompressedBlocks(Sha1Context* ctx, uint32_t count);

}  // namespace zelkit::detail
