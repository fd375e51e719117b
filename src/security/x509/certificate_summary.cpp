#include <cstdio>
#include <cstring>

#include "security/x509/asn1.h"

namespace zelkit::detail {

namespace {

constexpr uint8_t kCommonName[] = {0x55, 0x04, 0x03};
constexpr uint32_t kTagObjectIdentifier = 6;
constexpr uint32_t kTagUtcTime = 23;

// The element at an index entry; the index guarantees it lies inside the
// document, whose offsets stay below 65535.
Asn1Header elementAt(const uint8_t* der, uint16_t offset) {
  return asn1ParseHeader(der + offset, kAsn1IndexEnd - offset);
}

template <size_t N>
char* firstEmpty(char (&a)[N], char (&b)[N]) {
  if (a[0] == 0) return a;
  if (b[0] == 0) return b;
  return nullptr;
}

}  // namespace

void asn1CertificateSummary(char* text, int32_t size, const uint8_t* der, const uint16_t* index, int32_t count) {
  // The issuer's common name comes first in a certificate, the subject's second.
  char issuedTo[80] = {};
  char issuedBy[80] = {};
  char validFrom[16] = {};
  char validUntil[16] = {};
  for (int32_t i = 0; i < count; ++i) {
    if (index[i] == kAsn1IndexEnd) continue;
    const Asn1Header element = elementAt(der, index[i]);
    if (element.value == nullptr) continue;
    if (element.tag == kTagObjectIdentifier && element.length == sizeof(kCommonName) &&
        std::memcmp(element.value, kCommonName, sizeof(kCommonName)) == 0) {
      if (i + 1 >= count || index[i + 1] == kAsn1IndexEnd) continue;
      const Asn1Header name = elementAt(der, index[i + 1]);
      char* target = firstEmpty(issuedBy, issuedTo);
      if (name.value == nullptr || target == nullptr) continue;
      std::memcpy(target, name.value, name.length > 79 ? 79 : name.length);
    } else if (element.tag == kTagUtcTime && element.length >= 6) {
      // YYMMDD... shown as DD-MM-YY.
      char* target = firstEmpty(validFrom, validUntil);
      if (target == nullptr) continue;
      const uint8_t* t = element.value;
      std::snprintf(target, sizeof(validFrom), "%c%c-%c%c-%c%c", t[4], t[5], t[2], t[3], t[0], t[1]);
    }
  }
  if (size <= 0) return;
  std::snprintf(text, static_cast<size_t>(size), "Issued to: %s\nIssued by: %s\nValid from: %s to %s\n", issuedTo,
                issuedBy, validFrom, validUntil);
}

}  // namespace zelkit::detail
