#pragma once

#include <cstdint>

#include "security/tls/ssl_context.h"

// The handshake: the two state machines, the messages they build and parse.
namespace zelkit::detail {

enum SslHandshakeType : uint8_t {
  SslClientHello = 1,
  SslServerHello = 2,
  SslCertificate = 11,
  SslServerHelloDone = 14,
  SslClientKeyExchange = 16,
  SslFinished = 20,
};

constexpr uint32_t kHandshakeHeaderLength = 4;
constexpr uint32_t kSessionIdLength = 32;
constexpr uint32_t kMaxCertificates = 5;

// One handshake message in the receive buffer, from its type byte; length
// counts the 4-byte header. For an SSLv2 hello: the record body.
struct SslMessage {
  const uint8_t* data;
  uint32_t length;
};

// Called by the record layer for a whole handshake record (or SSLv2
// hello), by role. 0 or -1.
int sslClientMachine(SslContext* ctx);
int sslServerMachine(SslContext* ctx);
// sslConnect: offers the session cached under peerKey and sends the
// ClientHello. 0 or < 0.
int sslStartClient(SslContext* ctx, uint64_t peerKey);

// Each message goes into a handshake record of its own. 0 or -1.
int sslSendClientHello(SslContext* ctx);
int sslSendServerHello(SslContext* ctx, bool renegotiationInfo);
int sslSendCertificate(SslContext* ctx);
int sslSendServerHelloDone(SslContext* ctx);
int sslSendClientKeyExchange(SslContext* ctx);
// Sets the ciphers up and sends the record; the write side is active from
// the next record on.
int sslSendChangeCipherSpec(SslContext* ctx);
int sslSendFinished(SslContext* ctx);

// Parse results of a ClientHello besides its acceptance.
struct SslClientHelloOffer {
  bool renegotiationInfo;  // the signalling suite or the extension was offered
};
// A ClientHello that offers no suite of ours, told apart from a malformed
// one (-1) because the server answers it with an alert.
constexpr int SslHelloNoSharedSuite = -2;
// 0, -1 or SslHelloNoSharedSuite.
int sslParseClientHello(SslContext* ctx, SslMessage message, SslClientHelloOffer* offer);
int sslParseV2ClientHello(SslContext* ctx, SslMessage message, SslClientHelloOffer* offer);
// A ServerHello that resumes the offered session with another suite or
// compression, told apart because the client answers it with an alert.
constexpr int SslHelloChangedSession = -3;
// 0, -1 or SslHelloChangedSession.
int sslParseServerHello(SslContext* ctx, SslMessage message);
// 0 or -1.
int sslParseCertificate(SslContext* ctx, SslMessage message);
int sslParseClientKeyExchange(SslContext* ctx, SslMessage message);

// Keeps a leaf certificate as the peer certificate: an equal one is kept as
// it is; another one replaces it, marks it changed and withdraws the
// approval.
void sslKeepPeerCertificate(SslContext* ctx, const uint8_t* der, uint32_t length);

}  // namespace zelkit::detail
