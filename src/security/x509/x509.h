#pragma once

#include <cstdint>

#include "security/x509/key_record.h"

namespace zelkit::detail {

// Zeroes out, then reads the modulus (first) and public exponent (second)
// of a certificate's RSA key; fieldsFound tells how many were found. 0, or
// -1 when either is missing, the exponent is below 3 or the modulus is
// longer than kRsaMaxModulusBits.
int x509ReadPublicKey(const uint8_t* der, uint32_t length, KeyRecord* out);
// The reading part of x509ReadPublicKey, into a record that keeps its DER.
void x509ReadKeyFields(const uint8_t* der, uint32_t length, KeyRecord* key);
// The test of x509ReadPublicKey: an RSA key the library can use.
bool rsaPublicKeyUsable(const KeyRecord* key);

// Reads the modulus (first) and private exponent (second) of a PKCS#1
// RSAPrivateKey, and the CRT parts when key->crt is set.
void rsaReadPrivateKey(const uint8_t* der, uint32_t length, KeyRecord* key);

// Numbers of this many bytes or more are not stored.
constexpr uint32_t kKeyFieldLimit = kBigNumMaxBytes + 1;

}  // namespace zelkit::detail
