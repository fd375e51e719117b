#include "security/tls_connection/certificate_checking.h"

#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "security/cert_cache/certificate_cache.h"
#include "security/tls/ssl_context.h"
#include "zelkit/client.h"

namespace zelkit::detail {

CertificateChecking& certificateChecking() {
  static CertificateChecking checking;  // trivially destructible
  return checking;
}

bool checkServerCertificate(const SslContext* tls, const char* host, uint16_t port, const SslContext* clientTls) {
  GlobalLock lock;
  const CertificateChecking& checking = certificateChecking();
  if (checking.mode == 0) return true;
  if (tls == nullptr || tls->peerCertificate.der == nullptr) return false;
  if (checking.mode == 1) {
    if (checking.cache == nullptr) return false;
    const CertificateCacheEntry* entry = checking.cache->find(host, port);
    uint8_t digest[CERTIFICATE_DIGEST_SIZE];
    certificateDigest(tls, digest);
    return entry != nullptr && std::memcmp(entry->digest, digest, sizeof digest) == 0;
  }
  // The very certificate approved on the client's connection, byte for byte.
  return clientTls != nullptr && clientTls->certificateApproved == 1 &&
         clientTls->peerCertificate.der != nullptr &&
         clientTls->peerCertificate.derLength == tls->peerCertificate.derLength &&
         std::memcmp(clientTls->peerCertificate.der, tls->peerCertificate.der, tls->peerCertificate.derLength) == 0;
}

}  // namespace zelkit::detail

namespace zelkit {

int ZelClient::setCertificateCheckingMode(CertificateCheckingMode mode, bool rawCertificate, ZelCallback callback,
                                          void* context) {
  detail::GlobalLock lock;
  detail::CertificateChecking& checking = detail::certificateChecking();
  if (mode == CertificateCheckCached && checking.cache == nullptr) checking.cache = new detail::CertificateCache();
  checking.mode = mode;
  checking.rawCertificate = rawCertificate;
  checking.callback = callback;
  checking.context = context;
  return 0;
}

void ZelClient::approved() {
  detail::GlobalLock lock;
  detail::Connection* connection = connection_;
  detail::core().log(connection, "ssl ", "Certificate approved");
  const detail::CertificateChecking& checking = detail::certificateChecking();
  if (connection->ssl != nullptr) {
    connection->ssl->certificateApproved = 1;
    if (checking.mode == CertificateCheckCached && checking.cache != nullptr) checking.cache->approve(connection);
  }
  if (connection->state == detail::ConnectionState::AwaitingApproval) {
    connection->state = detail::ConnectionState::TransportUp;
    connection->sendQueued();
  }
}

}  // namespace zelkit
