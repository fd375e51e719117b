#include "core/connection/connection.h"
#include "security/cert_cache/certificate_cache.h"
#include "security/tls/ssl_context.h"
#include "security/tls_connection/certificate_checking.h"
#include "security/x509/asn1.h"

namespace zelkit::detail {

namespace {

void reportCertificate(const CertificateChecking& checking, Connection& connection, bool changed) {
  const KeyRecord& certificate = connection.ssl->peerCertificate;
  uint32_t tag;
  if (checking.rawCertificate)
    tag = changed ? CertificateNotification::ChangedRaw : CertificateNotification::UnknownRaw;
  else
    tag = changed ? CertificateNotification::ChangedText : CertificateNotification::UnknownText;
  ZelHeader header(tag, 0);
  header.sourceUrl = connection.url;
  if (checking.rawCertificate) {
    ZelInputStream stream(certificate.der, static_cast<int>(certificate.derLength));
    checking.callback(checking.context, header, stream);
    return;
  }
  char summary[CERTIFICATE_SUMMARY_SIZE] = {};
  if (certificate.der != nullptr) {
    uint16_t index[CERTIFICATE_INDEX_CAPACITY];
    const int32_t count = asn1IndexTlv(certificate.der, static_cast<int32_t>(certificate.derLength), index,
                                       CERTIFICATE_INDEX_CAPACITY);
    asn1CertificateSummary(summary, sizeof summary, certificate.der, index, count);
  }
  ZelInputStream stream(summary, sizeof summary);
  checking.callback(checking.context, header, stream);
}

}  // namespace

void Connection::decideOnCertificate() {
  const CertificateChecking& checking = certificateChecking();
  if (checking.mode == 0 || (ssl->certificateChanged == 0 && ssl->certificateApproved == 1)) {
    sendQueuedSsl();
    return;
  }
  const int known = checking.mode == 1 && checking.cache != nullptr ? checking.cache->check(this) : 0;
  if (known == 2) {
    sendQueuedSsl();
    return;
  }
  // Nothing leaves until the application approves.
  state = ConnectionState::AwaitingApproval;
  // The application may approve from inside its callback (the lock is recursive).
  if (checking.callback != nullptr) reportCertificate(checking, *this, known == 1);
}

}  // namespace zelkit::detail
