#include <algorithm>

#include "security/x509/asn1.h"

namespace zelkit::detail {

int32_t asn1IndexTlv(const uint8_t* der, int32_t length, uint16_t* index, int32_t capacity) {
  // Offsets must stay below the closing mark.
  const int64_t documentLength = std::clamp<int32_t>(length, 0, kAsn1IndexEnd);
  // Bytes still unread in each open constructed element (levels 1 up).
  int64_t unread[kAsn1MaxDepth + 1] = {};
  int depth = 0;
  int64_t pos = 0;
  int32_t count = 0;
  while (count < capacity - 2) {
    while (depth > 0 && unread[depth] == 0) {
      if (count >= capacity) return count;
      --depth;
      index[count++] = kAsn1IndexEnd;
      if (depth == 0) return count;
    }
    if (count >= capacity) return count;
    index[count++] = static_cast<uint16_t>(pos);
    if (pos >= documentLength - 2) return count - 1;
    const Asn1Header header = asn1ParseHeader(der + pos, static_cast<uint32_t>(documentLength - pos));
    if (header.value == nullptr) return count - 1;
    const int64_t size = int64_t{header.headerSize} + header.length;
    if (size > documentLength - pos) return count - 1;
    if (depth > 0) {
      // An element may not run past the one that contains it.
      if (size > unread[depth]) return count - 1;
      unread[depth] -= size;
    }
    if ((header.tag & 0x20) != 0) {
      if (depth == kAsn1MaxDepth) return count - 1;
      unread[++depth] = header.length;
      pos += header.headerSize;
    } else {
      pos += size;
    }
  }
  return count;
}

}  // namespace zelkit::detail
