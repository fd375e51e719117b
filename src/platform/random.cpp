#include "platform/random.h"

#include <cerrno>
#include <cstdint>

#include <sys/random.h>

namespace zelkit::platform {

bool randomBytes(void* buffer, std::size_t length) {
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t got = getrandom(out, length, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace zelkit::platform
