#include "security/x509/x509.h"

#include <cstring>

#include "security/x509/asn1.h"

namespace zelkit::detail {

namespace {

void certificateField(const char* path, const uint8_t* value, uint32_t length, uint32_t, void* user) {
  auto* key = static_cast<KeyRecord*>(user);
  if (length >= kKeyFieldLimit) return;
  BigNum* target = nullptr;
  if (std::strstr(path, "/07:N/I/<") != nullptr) {
    target = &key->first;
  } else if (std::strstr(path, "/07:N/I/I/<") != nullptr) {
    target = &key->second;
  }
  if (target == nullptr) return;
  bigNumFromBytes(target, value, static_cast<int32_t>(length), true);
  ++key->fieldsFound;
}

}  // namespace

void x509ReadKeyFields(const uint8_t* der, uint32_t length, KeyRecord* key) {
  derWalk(der, length, certificateField, key);
}

bool rsaPublicKeyUsable(const KeyRecord* key) {
  BigNum three;
  bigNumSetWord(&three, 3);
  return key->first.bits > 0 && key->first.bits <= kRsaMaxModulusBits && bigNumCompare(&key->second, &three) >= 0;
}

int x509ReadPublicKey(const uint8_t* der, uint32_t length, KeyRecord* out) {
  *out = KeyRecord{};
  x509ReadKeyFields(der, length, out);
  return rsaPublicKeyUsable(out) ? 0 : -1;
}

}  // namespace zelkit::detail
