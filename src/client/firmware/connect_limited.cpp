#include "client/firmware/connect_limited.h"

#include "client/firmware/upload_socket.h"
#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/errors.h"
#include "platform/time.h"

namespace zelkit::detail {

namespace {

int32_t uploadConnects = 0;  // in progress; guarded by the library lock

bool takeConnectSlot() {
  GlobalLock lock;
  if (uploadConnects >= UPLOAD_CONNECTS_MAX) return false;
  ++uploadConnects;
  return true;
}

}  // namespace

int connectLimited(Connection* connection, UploadSocket& socket, sockaddr_in6& address) {
  {
    GlobalLock lock;
    address = connection->address;
  }
  if (ntohs(address.sin6_port) == DEFAULT_ZEL_PORT) address.sin6_port = htons(UPLOAD_WEB_PORT);
  while (!takeConnectSlot()) {
    if (socket.aborted()) {
      platform::setLastError(platform::status::OperationAborted);
      return -1;
    }
    platform::sleepMilliseconds(UPLOAD_CONNECT_RETRY_MS);
  }
  const int result = socket.connect(address, core().connectTimeout());
  GlobalLock lock;
  --uploadConnects;
  return result;
}

}  // namespace zelkit::detail
