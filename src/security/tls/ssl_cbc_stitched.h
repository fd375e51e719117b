#pragma once

#include <cstdint>

// Sealing AES-128-CBC records with HMAC-SHA1 in one pass of the processor's
// AES and SHA instructions. Both the CBC chain and the SHA-1 chain are
// bound by the latency of their instructions; interleaved, the rounds of
// four cipher blocks fill the waits of one hash block, and the pair costs
// little more than either alone.
namespace zelkit::detail {

// True when the processor runs both instruction sets.
bool sslStitchedSealAvailable();

// Compresses the `count` 64-byte blocks at `hashed` into the SHA-1 words
// `hash` while it encrypts the 4 × count AES blocks at `sealed` in CBC from
// `iv`, which ends as the last cipher block. The encrypted bytes must have
// been hashed before: sealed + 64 <= hashed, on the same record.
void sslStitchedSeal(const uint32_t roundKeys[44], uint8_t iv[16], uint32_t hash[5], const uint8_t* hashed,
                     uint8_t* sealed, uint32_t count);

}  // namespace zelkit::detail
