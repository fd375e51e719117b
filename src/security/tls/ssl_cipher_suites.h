#pragma once

#include <cstdint>

#include "security/tls/ssl_context.h"

// The two cipher suites and the protection of records with them.
namespace zelkit::detail {

constexpr uint32_t kSuiteAes128CbcSha = 0x002F;  // TLS_RSA_WITH_AES_128_CBC_SHA
constexpr uint32_t kSuiteDesCbcSha = 0x0009;     // TLS_RSA_WITH_DES_CBC_SHA
// Signalling suite of a client that supports secure renegotiation.
constexpr uint32_t kSuiteRenegotiationInfo = 0x00FF;

struct CipherSuiteEntry {
  uint32_t id;  // 0 ends the table
  int (*setup)(SslCipherState* state, uint32_t suite);
  uint32_t macLength;
  uint32_t keyLength;
  uint32_t ivLength;  // the block size
  int32_t cryptType;  // createCrypt type
};

// In order of preference, ended by a row with id 0.
extern const CipherSuiteEntry CipherSuiteTable[];

// The row of a suite id, or null.
const CipherSuiteEntry* sslFindCipherSuite(uint32_t id);

// At the first ChangeCipherSpec sent or received: makes the cipher objects
// of the negotiated suite unless a side is already active. 0 or -1.
int sslSetupCiphers(SslContext* ctx);
// Deletes the cipher objects; both sides become inactive.
void sslReleaseCiphers(SslCipherState* state);

int sslSetupCbcSuite(SslCipherState* state, uint32_t suite);
void sslReleaseCbcSuite(SslCipherState* state);
// MAC, padding and CBC encryption in place: the new body length, or -1 when
// it would not fit in `space` bytes.
int sslProtectCbc(uint8_t* body, int length, int space, SslCipherState* state);
// CBC decryption and the padding and MAC checks: the plaintext length; -1
// for a body that is no whole number of blocks, -3 for a bad padding or
// MAC (one outcome for both).
int sslOpenCbc(uint8_t* body, int length, int capacity, SslCipherState* state);

}  // namespace zelkit::detail
