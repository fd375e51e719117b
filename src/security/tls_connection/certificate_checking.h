#pragma once

#include <cstdint>

#include "zelkit/streams.h"

namespace zelkit::detail {

class CertificateCache;
struct SslContext;

// Tags of the events that ask the application to approve a server
// certificate (ZelClient::setCertificateCheckingMode): the 512-byte text
// summary or the DER bytes of a certificate not known (or in mode 2), or of
// one that changed for the host and port.
namespace CertificateNotification {
constexpr uint32_t UnknownText = 0x00601020;
constexpr uint32_t ChangedText = 0x00601021;
constexpr uint32_t UnknownRaw = 0x00600C20;
constexpr uint32_t ChangedRaw = 0x00600C21;
}  // namespace CertificateNotification

constexpr int CERTIFICATE_SUMMARY_SIZE = 512;
constexpr int CERTIFICATE_INDEX_CAPACITY = 128;

// The process's certificate checking, set by
// ZelClient::setCertificateCheckingMode; guarded by the library lock.
struct CertificateChecking {
  int mode = 0;  // 0 none, 1 cached approvals, anything else: ask every time
  bool rawCertificate = false;
  ZelCallback callback = nullptr;
  void* context = nullptr;
  CertificateCache* cache = nullptr;  // made by the first mode 1, never deleted
};
CertificateChecking& certificateChecking();

// For the TLS connections the library opens beside a client's own (the
// firmware upload, media over TLS): whether the server certificate that
// `tls` received may be used under the process's checking mode. Mode 0
// trusts any; mode 1 needs the cache to hold this certificate for host and
// port; mode 2 needs it to be the certificate the application approved on
// the client's own connection, whose TLS context is clientTls (null when
// that connection has none). Nothing is asked of the application here.
// Takes the library lock.
bool checkServerCertificate(const SslContext* tls, const char* host, uint16_t port, const SslContext* clientTls);

}  // namespace zelkit::detail
