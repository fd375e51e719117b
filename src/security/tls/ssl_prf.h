#pragma once

#include <cstdint>

#include "security/tls/ssl_hmac.h"

// The TLS 1.0 pseudo-random function (RFC 2246 section 5).
namespace zelkit::detail {

// Label and seed together, and the output, are limited to this many bytes.
constexpr int kSslPrfMaxLength = 200;

// P_hash(secret, seed) cut to outLength bytes. 0, or -1 for an output
// length below 1 or above the limit.
int sslPHash(SslHash hash, const uint8_t* secret, int secretLength, const uint8_t* seed, int seedLength,
             int outLength, uint8_t* out);

// P_MD5 over the first half of the secret XOR P_SHA1 over its second half
// (the halves share the middle byte of an odd-length secret), each keyed
// over label + seed. 0, or -1 when label + seed or the output pass the
// limit.
int sslPrf(const uint8_t* secret, int secretLength, const char* label, int labelLength, const uint8_t* seed,
           int seedLength, int outLength, uint8_t* out);

}  // namespace zelkit::detail
