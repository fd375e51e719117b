#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "security/tls/ssl_context.h"

// A TLS context whose transport is a byte queue in memory: two of them,
// joined, make a client and a server that talk without sockets or threads.
namespace zelkit::test {

using Bytes = std::vector<uint8_t>;

struct MemoryEnd {
  detail::SslContext* ctx = nullptr;
  MemoryEnd* peer = nullptr;
  std::deque<uint8_t> incoming;  // bytes this end has not read yet
  int readLimit = 1 << 30;       // bytes handed over per read call
  int writeLimit = 1 << 30;      // bytes taken per write call
  int writeFailure = 0;          // a negative value makes every write fail
  std::vector<int> readFlags;    // flags of every read call
  Bytes sent;                    // everything taken from the engine

  MemoryEnd();
  ~MemoryEnd();
  MemoryEnd(const MemoryEnd&) = delete;
  MemoryEnd& operator=(const MemoryEnd&) = delete;

  void feed(const Bytes& bytes) { incoming.insert(incoming.end(), bytes.begin(), bytes.end()); }
};

void join(MemoryEnd& a, MemoryEnd& b);

// sslConnect, then drives both ends until each has completed the
// handshake or one fails. Returns the first failure (< 0), or 1 when both
// are established.
int handshake(MemoryEnd& client, MemoryEnd& server, uint64_t peerKey = 0);
// The same after a client has sent its hello by other means.
int driveHandshake(MemoryEnd& client, MemoryEnd& server);

// A connected, established client and server.
struct MemoryPair {
  MemoryEnd client;
  MemoryEnd server;
  int result;
  explicit MemoryPair(uint64_t peerKey = 0);
};

// Everything the end can read now, in calls of the given size.
Bytes readAll(MemoryEnd& end, int chunk = 16384);

// TLS records in a byte stream.
struct RecordHeader {
  uint8_t type;
  uint16_t version;
  uint16_t length;
};
std::vector<RecordHeader> splitRecords(const Bytes& stream);

Bytes tlsRecord(uint8_t type, uint16_t version, const Bytes& body);
Bytes handshakeMessage(uint8_t type, const Bytes& body);
// A ClientHello body offering the given suites and session id, with
// optional bytes after the compression methods.
Bytes clientHelloBody(const std::vector<uint16_t>& suites, const Bytes& sessionId = {}, const Bytes& tail = {});

}  // namespace zelkit::test
