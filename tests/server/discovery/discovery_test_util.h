#pragma once

// Helpers of the discovery responder tests: scan requests and a requester
// on a plain socket that sees where each answer was sent, and adapter
// records that stand in for the host's adapters.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/scanner/adapter_info.h"
#include "support/raw_client.h"
#include "support/wire_codec.h"

namespace discoverytest {

using namespace std::chrono_literals;
using zeltest::Bytes;
using zeltest::udpPortTaken;

constexpr uint16_t kBroadcastPort = 1757;
constexpr uint16_t kGroupPort = 1800;
constexpr uint8_t kMagic[4] = {0x99, 0x39, 0xA4, 0x27};

// 12 bytes: magic, scan id, the two request bytes, the reply port.
Bytes scanRequest(uint32_t scanId, uint8_t byte1, uint8_t byte2, uint16_t replyPort);

struct Answer {
  Bytes bytes;
  sockaddr_in from;
  in_addr destination;  // the address the datagram was sent to
};

// A plain UDP socket on the any-address (ephemeral port unless given) that
// may broadcast.
class Requester {
 public:
  explicit Requester(uint16_t port = 0);
  ~Requester();
  Requester(const Requester&) = delete;
  Requester& operator=(const Requester&) = delete;

  uint16_t port() const { return port_; }
  void send(const Bytes& bytes, const char* address, uint16_t port);
  // Datagrams until count arrived (and a while longer, to catch any more),
  // or the time ran out.
  std::vector<Answer> collect(size_t count, std::chrono::milliseconds timeout = 3s);

 private:
  std::optional<Answer> receive(std::chrono::milliseconds timeout);
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Waits until the responder's sockets are bound (requests sent before are
// lost); false when they are not within the time.
bool waitForResponder(uint16_t groupPort = kGroupPort);

// An adapter record as the lookup fills it.
zelkit::detail::AdapterInfo adapterRecord(const char* address, const char* mask, const char* gateway,
                                          const uint8_t (&mac)[6]);

// The text of the element (by local name, the root declaring a default
// namespace) as xmllint reads it; nullopt when xmllint fails.
std::optional<std::string> xmlElement(const std::string& xml, const std::string& localName);
// Whether xmllint finds the text well-formed.
bool wellFormed(const std::string& xml);

}  // namespace discoverytest
