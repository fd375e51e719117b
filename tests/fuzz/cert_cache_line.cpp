// A line of the certificate cache file: written by the library, but the
// file lies in the user's folder and may have been edited or damaged.
// Input: one line without its line feed.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/cert_cache/cache_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // An exact copy, so that any read past the line is caught.
  const std::vector<char> line(data, data + size);
  zelkit::detail::CertificateCacheEntry entry;
  zelkit::detail::parseCacheLine(line.data(), static_cast<int>(size), entry);
  if (std::strlen(entry.host) > zelkit::detail::CERTIFICATE_HOST_MAX ||
      std::strlen(entry.algorithm) > zelkit::detail::CERTIFICATE_ALGORITHM_MAX)
    __builtin_trap();
  // What is written back is read back the same.
  char written[512];
  const int length = zelkit::detail::formatCacheLine(entry, written, sizeof written);
  if (length <= 0 || written[length - 1] != '\n') __builtin_trap();
  zelkit::detail::CertificateCacheEntry again;
  zelkit::detail::parseCacheLine(written, length - 1, again);
  if (std::strchr(entry.host, ' ') == nullptr && std::strchr(entry.algorithm, ' ') == nullptr &&
      (std::strcmp(again.host, entry.host) != 0 || again.port != entry.port ||
       std::memcmp(again.digest, entry.digest, sizeof entry.digest) != 0))
    __builtin_trap();
  return 0;
}
