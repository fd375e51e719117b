#pragma once

#include <cstdint>

#include "security/rsa/bignum.h"
#include "security/x509/key_record.h"

// RSA with PKCS#1 v1.5 block type 2 padding, for the TLS pre-master secret.
namespace zelkit::detail {

constexpr int32_t kPreMasterLength = 48;

// Encrypts the 48-byte pre-master secret with publicKey (first = n,
// second = e). *outLength is the capacity of out on entry and the cipher
// text's length (leading zeros dropped) on success. 0; -2 input not 48
// bytes; -3 modulus too short or too long, or out too small.
int rsaEncrypt(const KeyRecord* publicKey, const uint8_t* in, int32_t inLength, uint8_t* out, int32_t* outLength);
// Decrypts a cipher text into the 48-byte pre-master secret with
// privateKey (first = n, second = d). 0; -2 input longer than 528 bytes;
// -3 out shorter than 48 bytes, modulus too long or block too short;
// -4 bad separator or block type.
int rsaDecrypt(const KeyRecord* privateKey, const uint8_t* in, int32_t inLength, uint8_t* out, int32_t* outLength);

// m = c^d mod n. With the key's CRT parts the work is done modulo the primes
// on a randomly blinded input and checked against the public exponent;
// otherwise (or when that check fails) with d itself. The result is the
// same either way.
void rsaPrivateOperation(const KeyRecord* privateKey, const BigNum* c, BigNum* m);

}  // namespace zelkit::detail
