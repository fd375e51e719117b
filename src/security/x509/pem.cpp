#include "security/x509/pem.h"

#include <cstring>

namespace zelkit::detail {

namespace {

int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

int pemDecodeBody(uint8_t* out, uint32_t* length, const char* text) {
  const uint32_t capacity = *length;
  *length = 0;
  uint32_t count = 0;
  uint32_t group = 0;  // bits of the current group, six per character
  int characters = 0;
  // Line breaks and other control characters are skipped; "=" or any
  // character outside the alphabet (NUL, the "-" of the END line) ends the data.
  for (const auto* p = reinterpret_cast<const unsigned char*>(text);; ++p) {
    if (*p >= 1 && *p <= 32) continue;
    const int value = base64Value(*p);
    if (value < 0) {
      if (*p != '=') {
        // A group that already holds a byte's worth of bits is cut off.
        if (characters >= 2) return -2;
        characters = 0;
      }
      break;
    }
    group = (group << 6) | static_cast<uint32_t>(value);
    if (++characters == 4) {
      if (capacity - count < 3) return -2;
      out[count++] = static_cast<uint8_t>(group >> 16);
      out[count++] = static_cast<uint8_t>(group >> 8);
      out[count++] = static_cast<uint8_t>(group);
      group = 0;
      characters = 0;
    }
  }
  // Flush a group ended by "=": two characters give one byte, three give two.
  const int bytes = characters >= 2 ? characters - 1 : 0;
  if (capacity - count < static_cast<uint32_t>(bytes)) return -2;
  group <<= 6 * (4 - characters);
  for (int i = 0; i < bytes; ++i) out[count++] = static_cast<uint8_t>(group >> (16 - 8 * i));
  *length = count;
  return 0;
}

int pemDecode(uint8_t* out, uint32_t* length, const char* text, bool certificate) {
  const uint32_t capacity = *length;
  *length = 0;
  const char* marker = certificate ? "--BEGIN CERTIFICATE--" : "--BEGIN RSA PRIVATE KEY--";
  const char* p = std::strstr(text, marker);
  if (p == nullptr) return -1;
  while (*p != 0 && *p != '\r' && *p != '\n') ++p;
  while (*p == '\r' || *p == '\n') ++p;
  if (*p == 0) return -2;
  *length = capacity;
  return pemDecodeBody(out, length, p);
}

}  // namespace zelkit::detail
