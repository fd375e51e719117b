#include "security/cert_cache/cache_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/wire/conversions.h"

namespace zelkit::detail {

namespace {

// The text up to the next blank (or the end), and what follows that blank.
struct Field {
  const char* begin;
  int length;
};

Field nextField(const char*& at, const char* end) {
  const char* blank = std::find(at, end, ' ');
  const Field field{at, static_cast<int>(blank - at)};
  at = blank == end ? end : blank + 1;
  return field;
}

void copyCut(const Field& field, char* out, int maxLength) {
  const int length = std::min(field.length, maxLength);
  std::memcpy(out, field.begin, static_cast<std::size_t>(length));
  out[length] = '\0';
}

// Decimal digits at the start of the field, modulo 2^16.
uint16_t readPort(const Field& field) {
  uint32_t value = 0;
  for (int i = 0; i < field.length && field.begin[i] >= '0' && field.begin[i] <= '9'; ++i)
    value = (value * 10 + static_cast<uint32_t>(field.begin[i] - '0')) & 0xFFFF;
  return static_cast<uint16_t>(value);
}

}  // namespace

void parseCacheLine(const char* line, int length, CertificateCacheEntry& entry) {
  const char* at = line;
  const char* end = line + length;
  copyCut(nextField(at, end), entry.host, CERTIFICATE_HOST_MAX);
  entry.port = readPort(nextField(at, end));
  copyCut(nextField(at, end), entry.algorithm, CERTIFICATE_ALGORITHM_MAX);
  std::memset(entry.digest, 0, sizeof entry.digest);
  base64Decode(at, static_cast<int>(end - at), entry.digest, sizeof entry.digest);
}

int formatCacheLine(const CertificateCacheEntry& entry, char* out, int size) {
  char digest[32];
  base64Encode(entry.digest, sizeof entry.digest, digest, sizeof digest);
  const int length = std::snprintf(out, static_cast<std::size_t>(size), "%s %d %s %s\n", entry.host, entry.port,
                                   entry.algorithm, digest);
  return length >= 0 && length < size ? length : -1;
}

}  // namespace zelkit::detail
