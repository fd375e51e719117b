#include <cstring>

#include "security/cert_cache/certificate_cache.h"
#include "security/hash/md5.h"
#include "security/tls/ssl_context.h"

namespace zelkit::detail {

void certificateDigest(const SslContext* tls, uint8_t digest[CERTIFICATE_DIGEST_SIZE]) {
  if (tls == nullptr || tls->peerCertificate.der == nullptr) {
    std::memset(digest, 0, CERTIFICATE_DIGEST_SIZE);
    std::memcpy(digest, "<<invalid>>", 11);
    return;
  }
  Md5Context context;
  md5Init(&context);
  md5Update(&context, tls->peerCertificate.der, tls->peerCertificate.derLength);
  md5Final(digest, &context);
}

}  // namespace zelkit::detail
