#pragma once

#include <cstdint>

#include "security/rsa/bignum.h"

namespace zelkit::detail {

// RSA moduli longer than this are refused.
constexpr int32_t kRsaMaxModulusBits = 4096;

// A blinding pair of a private key: blind = r^e and unblind = r^-1 mod n
// for a random r. Each operation takes the pair and leaves its squares for
// the next, so no pair serves twice; fresh values are drawn after
// kRsaBlindingUses operations.
struct RsaBlinding {
  BigNum blind;
  BigNum unblind;
  uint32_t remaining;  // operations before fresh values; 0 when there are none
};
constexpr uint32_t kRsaBlindingUses = 32;

// The Chinese-remainder parts of an RSA private key, which make the private
// operation about four times faster than the plain exponent.
struct RsaCrtKey {
  BigNum publicExponent;
  BigNum prime1;
  BigNum prime2;
  BigNum exponent1;    // d mod (prime1 - 1)
  BigNum exponent2;    // d mod (prime2 - 1)
  BigNum coefficient;  // prime2^-1 mod prime1
  uint32_t fieldsFound;
  RsaBlinding blinding;
};
constexpr uint32_t kRsaCrtFields = 6;

// DER bytes of a key or certificate with the RSA numbers read from them.
struct KeyRecord {
  uint8_t* der;
  uint32_t derLength;
  uint32_t fieldsFound;  // modulus and exponent stored so far
  BigNum first;          // modulus
  BigNum second;         // private exponent of a private key, public exponent of a certificate
  RsaCrtKey* crt;        // private keys: where to keep the CRT parts; null when not wanted
};

}  // namespace zelkit::detail
