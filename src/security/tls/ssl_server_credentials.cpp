#include "security/tls/ssl_server_credentials.h"

#include <mutex>

#include "security/tls/ssl_process_lock.h"
#include "security/x509/server_keys.h"

namespace zelkit::detail {

namespace {

SslServerCredentials credentials = {};
bool loaded = false;

}  // namespace

void sslLoadKeysOnce() {
  std::lock_guard<std::mutex> guard(sslProcessLock());
  if (loaded) return;
  // Set first: a failed load is not tried again.
  loaded = true;
  const int result = loadServerKeys(&credentials.certificate, &credentials.privateKey, &credentials.intermediate);
  credentials.usable = result == 0 && credentials.certificate.derLength > 0 && credentials.privateKey.first.bits > 0;
}

const SslServerCredentials& sslServerCredentials() { return credentials; }

}  // namespace zelkit::detail
