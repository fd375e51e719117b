#include "support/tls_memory_link.h"

#include <algorithm>

namespace zelkit::test {

namespace {

int readCallback(char* buffer, int length, int flags, void* user) {
  auto* end = static_cast<MemoryEnd*>(user);
  end->readFlags.push_back(flags);
  const int count = std::min({length, end->readLimit, static_cast<int>(end->incoming.size())});
  std::copy_n(end->incoming.begin(), count, buffer);
  end->incoming.erase(end->incoming.begin(), end->incoming.begin() + count);
  return count;
}

int writeCallback(char* buffer, int length, int, void* user) {
  auto* end = static_cast<MemoryEnd*>(user);
  if (end->writeFailure < 0) return end->writeFailure;
  const int count = std::min(length, end->writeLimit);
  end->sent.insert(end->sent.end(), buffer, buffer + count);
  if (end->peer != nullptr) end->peer->incoming.insert(end->peer->incoming.end(), buffer, buffer + count);
  return count;
}

}  // namespace

MemoryEnd::MemoryEnd() : ctx(detail::sslCreate(readCallback, writeCallback, this)) {}

MemoryEnd::~MemoryEnd() { detail::sslFree(ctx); }

void join(MemoryEnd& a, MemoryEnd& b) {
  a.peer = &b;
  b.peer = &a;
}

int handshake(MemoryEnd& client, MemoryEnd& server, uint64_t peerKey) {
  const int connected = detail::sslConnect(client.ctx, peerKey, 0);
  return connected < 0 ? connected : driveHandshake(client, server);
}

int driveHandshake(MemoryEnd& client, MemoryEnd& server) {
  int clientResult = 0;
  int serverResult = 0;
  for (int round = 0; round < 20 && clientResult >= 0 && serverResult >= 0; ++round) {
    serverResult = detail::sslHandshakeStep(server.ctx);
    clientResult = detail::sslHandshakeStep(client.ctx);
    if (clientResult == 1 && serverResult == 1) return 1;
  }
  return std::min(clientResult, serverResult);
}

MemoryPair::MemoryPair(uint64_t peerKey) {
  join(client, server);
  result = handshake(client, server, peerKey);
}

Bytes readAll(MemoryEnd& end, int chunk) {
  Bytes all;
  std::vector<char> buffer(static_cast<size_t>(chunk));
  for (;;) {
    const int got = detail::sslRead(end.ctx, buffer.data(), chunk, 0);
    if (got <= 0) break;
    all.insert(all.end(), buffer.begin(), buffer.begin() + got);
  }
  return all;
}

std::vector<RecordHeader> splitRecords(const Bytes& stream) {
  std::vector<RecordHeader> records;
  for (size_t at = 0; at + 5 <= stream.size();) {
    const RecordHeader header{stream[at], static_cast<uint16_t>(stream[at + 1] << 8 | stream[at + 2]),
                              static_cast<uint16_t>(stream[at + 3] << 8 | stream[at + 4])};
    records.push_back(header);
    at += 5 + header.length;
  }
  return records;
}

Bytes tlsRecord(uint8_t type, uint16_t version, const Bytes& body) {
  Bytes record = {type, static_cast<uint8_t>(version >> 8), static_cast<uint8_t>(version),
                  static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
  record.insert(record.end(), body.begin(), body.end());
  return record;
}

Bytes handshakeMessage(uint8_t type, const Bytes& body) {
  Bytes message = {type, static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
                   static_cast<uint8_t>(body.size())};
  message.insert(message.end(), body.begin(), body.end());
  return message;
}

Bytes clientHelloBody(const std::vector<uint16_t>& suites, const Bytes& sessionId, const Bytes& tail) {
  Bytes body = {3, 1};
  body.insert(body.end(), 32, 0x5A);  // client random
  body.push_back(static_cast<uint8_t>(sessionId.size()));
  body.insert(body.end(), sessionId.begin(), sessionId.end());
  body.push_back(static_cast<uint8_t>(suites.size() * 2 >> 8));
  body.push_back(static_cast<uint8_t>(suites.size() * 2));
  for (uint16_t suite : suites) {
    body.push_back(static_cast<uint8_t>(suite >> 8));
    body.push_back(static_cast<uint8_t>(suite));
  }
  body.push_back(1);
  body.push_back(0);
  body.insert(body.end(), tail.begin(), tail.end());
  return body;
}

}  // namespace zelkit::test
