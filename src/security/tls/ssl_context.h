#pragma once

#include <cstdint>

#include "security/hash/md5.h"
#include "security/hash/sha1.h"
#include "security/tls/ssl_hmac.h"
#include "security/x509/key_record.h"

class C_Cryptlfc;

// The library's TLS 1.0 engine (RSA key exchange, AES-128-CBC-SHA and
// DES-CBC-SHA), in either role. It never touches a socket: bytes move
// through two callbacks that the owner supplies.
//
// Calling contract
// - sslCreate makes a server context in state ServerWaitClientHello; a
//   client calls sslConnect on it first. sslReset prepares a context for a
//   new connection and keeps its buffers, callbacks, user argument, peer
//   certificate and approved byte.
// - Read callback: fill up to `length` bytes; the engine asks only for the
//   bytes still missing from the record it is reading, so the owner never
//   hands it bytes of a following record. Write callback: take up to
//   `length` bytes. Both return the bytes moved (> 0), 0 for "nothing now"
//   (would block), or a negative value, which becomes the context's sticky
//   error and is returned unchanged by every later operation. The read
//   callback gets the flags of the last sslRead without SslReadPeek, the
//   write callback those of the last sslWrite.
// - sslConnect sends the ClientHello and runs record steps until the
//   handshake completes or `timeout` runs out (each step that found no
//   whole record counts 50); timeout 0 returns after one step and leaves
//   the rest to sslHandshakeStep or sslRead.
// - sslHandshakeStep drives the handshake one record at a time: 1 once
//   established, 0 while under way, < 0 on failure.
// - sslRead drives the handshake until it is established, then returns
//   application bytes of at most one record per call. Once it has
//   delivered bytes in a call it returns their count; an error met later
//   shows on the next call. 0 means nothing now.
// - sslWrite returns the bytes taken into records, 0 while earlier output
//   still waits for the write callback or the handshake is under way, or
//   < 0. Output the callback did not take stays in the context; a later
//   sslWrite (length 0 is enough) offers it again. The engine keeps
//   handshake output it could not send as well, so an owner whose write
//   callback returns 0 calls sslWrite(ctx, nullptr, 0, flags) when the
//   transport can take more.
// - Failures are results, never exceptions; the first one sticks to the
//   context until sslReset. The engine sends no alert on a failure, only a
//   warning close_notify in answer to one received.
// - A context must not be used by two threads at once. The engine takes no
//   library lock; its process-wide parts (the one-time key loading, the
//   session caches, the session counter) have a lock of their own.
// - The server's credentials are read from sslKeyTable once, by the first
//   sslCreate of the process; keys configured later are not read.
namespace zelkit::detail {

using SslIoCallback = int (*)(char* buffer, int length, int flags, void* user);

// Results of the public operations. Any negative value a callback returns
// is passed through as it is.
struct SslError {
  static constexpr int General = -1;        // bad context, malformed or unexpected message, set-up failure
  static constexpr int Protocol = -3;       // connection version not 3.1; record MAC or padding mismatch
  static constexpr int RecordFormat = -6;   // record version changed; record body too long or empty
  static constexpr int Timeout = -1000;     // sslConnect gave up
  static constexpr int MediaTunnelRequest = -9999;  // a server's first bytes are "GET /media_tunnel"
  static constexpr int AlertBase = -443000;  // alert with description d received: AlertBase - d
};

enum class SslState : uint32_t {
  ServerWaitClientHello = 0,
  ServerClientHelloRead = 1,
  ServerHelloSent = 2,
  ServerKeyExchangeRead = 3,
  ChangeCipherSpecRead = 4,
  ClientHelloSent = 20,
  ServerHelloRead = 21,
  ServerCertificateRead = 22,
  ServerHelloDoneRead = 23,
  ServerResumed = 50,
  ClientResumed = 51,
  Established = 100,
  Closed = 200,
};

constexpr uint32_t SSL_MAGIC = 0x9022006;
constexpr int32_t SSL_BUFFER_SIZE = 16894;
constexpr int32_t SSL_MAX_WRITE_CHUNK = 16384;

// sslRead flag: copy application bytes without consuming them.
constexpr int SslReadPeek = 2;

// Record protection of both directions ("read" and "write" as seen from
// this context).
struct SslCipherState {
  // New body length, or -1 when it does not fit in `space`.
  int (*protect)(uint8_t* body, int length, int space, SslCipherState* state);
  // Plaintext length, or < 0.
  int (*open)(uint8_t* body, int length, int capacity, SslCipherState* state);
  void (*release)(SslCipherState* state);
  C_Cryptlfc* writeCipher;
  C_Cryptlfc* readCipher;
  uint32_t writeActive;
  uint32_t readActive;
  uint8_t readSequence[8];  // big-endian counters
  uint8_t writeSequence[8];
  uint8_t recordType;       // content type of the record being protected or opened
  uint8_t* readMacSecret;   // into the key block
  uint8_t* writeMacSecret;
  uint8_t* readKey;
  uint8_t* writeKey;
  uint8_t* readIv;          // running CBC vectors
  uint8_t* writeIv;
  uint32_t macLength;
  uint32_t keyLength;
  uint32_t ivLength;
  // The MAC secrets' pads, hashed once when the ciphers are made.
  SslSha1Pads readMacPads;
  SslSha1Pads writeMacPads;
};

enum class SslRole : uint32_t { Client = 0, Server = 1 };

enum class SslRecordPhase : uint32_t {
  WaitingForHeader = 0,
  HeaderRead = 1,
  Complete = 2,
  Opened = 3,
};

// One context per TLS byte stream, zero-filled at creation.
struct SslContext {
  uint32_t magic;
  uint8_t* receiveBuffer;  // exactly the record being read, from its first byte
  uint8_t* sendBuffer;     // finished records not yet taken by the write callback
  int32_t receiveCapacity;
  int32_t sendCapacity;
  int32_t receiveCount;
  int32_t sendFill;
  int32_t sendFlushed;
  int32_t stickyError;
  SslRole role;
  uint32_t resume;  // 1 while an abbreviated handshake is under way
  SslIoCallback readCallback;
  SslIoCallback writeCallback;
  void* user;
  SslRecordPhase recordPhase;
  uint32_t headerLength;  // offset of the (remaining) record body in the receive buffer
  uint32_t bodyLength;
  uint32_t consumed;      // application bytes of the current record handed out
  uint32_t recordVersion; // 0x0200 for an SSLv2-framed hello
  int32_t contentType;    // -1 for an SSLv2-framed hello
  uint32_t messageType;
  uint32_t recordStart;   // offset in the send buffer of the record being built
  uint32_t connectionVersion;
  SslCipherState cipher;
  uint8_t clientRandom[32];
  uint8_t serverRandom[32];
  uint8_t sessionId[32];
  KeyRecord peerPublicKey;
  Sha1Context handshakeSha1;
  Md5Context handshakeMd5;
  uint32_t readFlags;
  uint32_t writeFlags;
  uint64_t peerKey;  // client: the key of the client session cache
  uint8_t masterSecret[48];
  uint32_t cipherSuite;
  SslState state;
  uint8_t keyBlock[128];
  KeyRecord peerCertificate;  // der/derLength: owned copy of the last leaf certificate received
  uint8_t certificateChanged;
  uint8_t certificateApproved;
  // Client: the leaf certificate of the session offered for resumption,
  // which becomes the peer certificate when the server accepts it.
  uint8_t* offeredCertificate;
  uint32_t offeredCertificateLength;
};

// Null when a callback is null or memory runs out.
SslContext* sslCreate(SslIoCallback readCallback, SslIoCallback writeCallback, void* user);
void sslFree(SslContext* ctx);
// 0, or -1 on a bad context.
int sslReset(SslContext* ctx);
// peerKey identifies the server for session resumption (sslPeerKey); 0
// offers no session.
int sslConnect(SslContext* ctx, uint64_t peerKey, unsigned timeout);
int sslHandshakeStep(SslContext* ctx);
int sslRead(SslContext* ctx, char* buffer, int length, int flags);
int sslWrite(SslContext* ctx, const char* data, int length, int flags);
// Application bytes of the current record not yet handed out.
int sslPending(SslContext* ctx);

}  // namespace zelkit::detail
