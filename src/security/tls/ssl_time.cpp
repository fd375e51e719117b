#include "security/tls/ssl_time.h"

#include "platform/time.h"

namespace zelkit::detail {

uint32_t sslTime() {
  std::time_t seconds;
  int milliseconds;
  platform::wallClock(seconds, milliseconds);
  return static_cast<uint32_t>(static_cast<int64_t>(seconds) - kUnixTimeOf2000);
}

}  // namespace zelkit::detail
