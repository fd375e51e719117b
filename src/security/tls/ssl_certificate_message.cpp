#include <cstring>

#include "security/tls/ssl_handshake.h"
#include "security/tls/ssl_reader.h"
#include "security/tls/ssl_record.h"
#include "security/tls/ssl_server_credentials.h"
#include "security/x509/x509.h"

namespace zelkit::detail {

namespace {

void put24(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 16);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value);
}

}  // namespace

int sslSendCertificate(SslContext* ctx) {
  const SslServerCredentials& credentials = sslServerCredentials();
  const KeyRecord* chain[] = {&credentials.certificate, &credentials.intermediate};
  uint32_t listLength = 0;
  for (const KeyRecord* certificate : chain) {
    if (certificate->derLength != 0) listLength += certificate->derLength + 3;
  }
  uint8_t header[kHandshakeHeaderLength + 3] = {SslCertificate};
  put24(header + 1, listLength + 3);
  put24(header + 4, listLength);
  if (sslBeginRecord(ctx, SslContentHandshake) != 0 || sslAppend(ctx, header, sizeof header) != 0) return -1;
  for (const KeyRecord* certificate : chain) {
    if (certificate->derLength == 0) continue;
    uint8_t length[3];
    put24(length, certificate->derLength);
    if (sslAppend(ctx, length, sizeof length) != 0) return -1;
    if (sslAppend(ctx, certificate->der, static_cast<int>(certificate->derLength)) != 0) return -1;
  }
  return sslFinishRecord(ctx);
}

void sslKeepPeerCertificate(SslContext* ctx, const uint8_t* der, uint32_t length) {
  KeyRecord& kept = ctx->peerCertificate;
  if (kept.der != nullptr && (kept.derLength != length || std::memcmp(kept.der, der, length) != 0)) {
    delete[] kept.der;
    kept.der = nullptr;
    kept.derLength = 0;
  }
  if (kept.der != nullptr) return;
  ctx->certificateChanged = 1;
  ctx->certificateApproved = 0;
  kept.der = new uint8_t[length];
  std::memcpy(kept.der, der, length);
  kept.derLength = length;
}

int sslParseCertificate(SslContext* ctx, SslMessage message) {
  SslReader reader(message.data, message.length);
  reader.u8();
  const uint32_t total = reader.u24();
  const uint32_t listLength = reader.u24();
  if (reader.failed() || listLength < 1 || listLength + 3 > total || total > message.length - kHandshakeHeaderLength) {
    return -1;
  }
  SslReader list = reader.sub(listLength);
  const uint8_t* leaf = nullptr;
  uint32_t leafLength = 0;
  uint32_t count = 0;
  while (list.ok() && list.remaining() > 0) {
    const uint32_t length = list.u24();
    const uint8_t* der = list.bytes(length);
    if (list.failed() || length < 1 || ++count > kMaxCertificates) return -1;
    if (leaf == nullptr) {
      leaf = der;
      leafLength = length;
    }
  }
  if (leaf == nullptr || list.failed()) return -1;
  // Only the leaf is used: trust comes from the owner's approval, not the chain.
  sslKeepPeerCertificate(ctx, leaf, leafLength);
  return x509ReadPublicKey(leaf, leafLength, &ctx->peerPublicKey) == 0 ? 0 : -1;
}

}  // namespace zelkit::detail
