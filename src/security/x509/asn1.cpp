#include "security/x509/asn1.h"

namespace zelkit::detail {

Asn1Header asn1ParseHeader(const uint8_t* p, uint32_t remaining) {
  Asn1Header header{0, 0, 0, nullptr};
  uint32_t pos = 0;
  if (remaining < 2) return header;
  const uint8_t identifier = p[pos++];
  if ((identifier & 0x1F) != 0x1F) {
    header.tag = identifier;
  } else {
    // One tag-number byte only.
    const uint8_t number = p[pos++];
    if ((number & 0x80) != 0) return header;
    header.tag = number;
  }
  if (pos >= remaining) return header;
  const uint8_t first = p[pos++];
  if (first < 0x80) {
    header.length = first;
  } else {
    const uint32_t count = first & 0x7F;
    if (count >= 3 || count > remaining - pos) return header;
    for (uint32_t i = 0; i < count; ++i) header.length = (header.length << 8) | p[pos++];
  }
  header.headerSize = pos;
  header.value = p + pos;
  return header;
}

}  // namespace zelkit::detail
