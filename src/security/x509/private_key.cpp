#include <cstring>

#include "security/x509/asn1.h"
#include "security/x509/x509.h"

namespace zelkit::detail {

namespace {

// An RSAPrivateKey is a SEQUENCE of INTEGERs: version, modulus, public
// exponent, private exponent, the two primes, the two CRT exponents and the
// coefficient. The walk names the k-th of them (from 0) by k + 1 times "I/".
int integerPosition(const char* path) {
  const size_t length = std::strlen(path);
  if (length % 2 != 1 || path[length - 1] != '<') return -1;
  for (size_t i = 0; i + 1 < length; i += 2) {
    if (path[i] != 'I' || path[i + 1] != '/') return -1;
  }
  return static_cast<int>(length / 2) - 1;
}

BigNum* crtPart(RsaCrtKey* crt, int position) {
  switch (position) {
    case 2: return &crt->publicExponent;
    case 4: return &crt->prime1;
    case 5: return &crt->prime2;
    case 6: return &crt->exponent1;
    case 7: return &crt->exponent2;
    case 8: return &crt->coefficient;
    default: return nullptr;
  }
}

void privateKeyField(const char* path, const uint8_t* value, uint32_t length, uint32_t, void* user) {
  auto* key = static_cast<KeyRecord*>(user);
  if (length >= kKeyFieldLimit) return;
  const int position = integerPosition(path);
  BigNum* target = nullptr;
  uint32_t* found = &key->fieldsFound;
  if (position == 1) {
    target = &key->first;
  } else if (position == 3) {
    target = &key->second;
  } else if (key->crt != nullptr) {
    target = crtPart(key->crt, position);
    found = &key->crt->fieldsFound;
  }
  if (target == nullptr) return;
  bigNumFromBytes(target, value, static_cast<int32_t>(length), true);
  ++*found;
}

}  // namespace

void rsaReadPrivateKey(const uint8_t* der, uint32_t length, KeyRecord* key) {
  derWalk(der, length, privateKeyField, key);
}

}  // namespace zelkit::detail
