#include "security/tls/ssl_process_lock.h"

#include "common/never_destroyed.h"

namespace zelkit::detail {

std::mutex& sslProcessLock() {
  static NeverDestroyed<std::mutex> lock;
  return lock.get();
}

}  // namespace zelkit::detail
