#pragma once

#include <cstdint>

#include "security/tls/ssl_context.h"

// Master secret, key block and Finished values (RFC 2246 sections 6.3 and
// 7.4.9).
namespace zelkit::detail {

constexpr int kMasterSecretLength = 48;
constexpr int kKeyBlockLength = 128;
constexpr int kVerifyDataLength = 12;

// Master secret from the pre-master secret and both randoms, then the key
// block. 0 or -1.
int sslMakeMasterSecret(SslContext* ctx, const uint8_t* preMaster, int length);
// Key block from the master secret and both randoms; the suite's lengths
// and the key pointers of both directions (by role) go into the cipher
// state. 0, or -1 when the suite is unknown (nothing is set).
int sslMakeKeyBlock(SslContext* ctx);

enum class SslFinishedLabel { Client, Server };
// The verify data of a Finished over the handshake messages so far.
void sslFinishedData(const SslContext* ctx, SslFinishedLabel label, uint8_t out[kVerifyDataLength]);
// Checks a received Finished message (its 4-byte header first) against
// the peer's verify data. 0 or -1.
int sslCheckFinished(const SslContext* ctx, const uint8_t* message, uint32_t length);

}  // namespace zelkit::detail
