#pragma once

#include <cstdint>

// MD5 (RFC 1321) over a caller-owned context: init, any number of updates,
// final. Final wipes the context, so it needs md5Init before reuse.
namespace zelkit::detail {

struct Md5Context {
  uint32_t state[4];
  uint32_t count[2];  // message bits so far, low word first
  uint8_t buffer[64];
};

void md5Init(Md5Context* ctx);
void md5Update(Md5Context* ctx, const uint8_t* data, uint32_t length);
void md5Final(uint8_t digest[16], Md5Context* ctx);

}  // namespace zelkit::detail
