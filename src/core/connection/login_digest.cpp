#include <cstdio>
#include <cstring>

#include "core/connection/connection.h"
#include "security/hash/md5.h"

namespace zelkit::detail {

void md5Hex(const char* text, char* out33) {
  Md5Context context;
  md5Init(&context);
  md5Update(&context, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)));
  uint8_t digest[16];
  md5Final(digest, &context);
  for (int i = 0; i < 16; ++i) std::snprintf(out33 + 2 * i, 3, "%02x", digest[i]);
}

void makeAuthDigest(const char* user, const char* password, const char* challenge, char* out33) {
  char text[256];
  std::snprintf(text, sizeof text, "+%s+++%s:%s+", challenge, user, password);
  md5Hex(text, out33);
}

}  // namespace zelkit::detail
