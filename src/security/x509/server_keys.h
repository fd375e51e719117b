#pragma once

#include <cstdint>

#include "security/x509/key_record.h"
#include "zelkit/ssl_keys.h"

// The TLS server's credentials: the table the server fills and the records
// the TLS engine loads from it once.
namespace zelkit::detail {

struct SslKeyEntry {
  uint8_t* data;  // owned by the table, allocated with new[]; null when absent
  int32_t length;
};
// Indexed by SslKeyIndex. Written by the server before the first TLS context
// is created; read once then.
extern SslKeyEntry sslKeyTable[3];

// Copy the private key (entry 0) or a certificate (entry 1 or 2): *length is
// the capacity of out on entry, lowered to the entry's length when that is
// shorter. 0, or -1 when the entry is absent; an absent intermediate
// certificate gives length 0 and 0.
int getServerKey(uint8_t* out, int* length);
int getServerCertificate(uint8_t* out, int* length, int index);

// loadServerKeys: a key and certificate are configured but cannot be used.
constexpr int kServerKeysUnusable = -3;

// Fills the three records from sslKeyTable: each record gets a DER buffer
// of its entry's size, the key its modulus, private exponent and CRT parts,
// the certificate its public key; 0. Nothing configured, or a missing key or
// certificate, gives the built-in key and certificate and no intermediate
// certificate (-1 or -2 when the built-in key or certificate cannot be
// read). A configured key and certificate that cannot be used together
// (not PKCS#1, too long, no usable public key, another key) are logged and
// give kServerKeysUnusable with all three records empty: the built-in key
// is public and must not stand in for them, so no server handshake may
// succeed. The buffers are never freed.
int loadServerKeys(KeyRecord* certificate, KeyRecord* privateKey, KeyRecord* intermediate);

}  // namespace zelkit::detail
