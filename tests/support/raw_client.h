#pragma once

// A client of plain blocking sockets with its own framing (wire_codec.h),
// for talking to the library's server as an outside peer would.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "support/wire_codec.h"

namespace zeltest {

// A loopback TCP port that nothing listened on a moment ago.
uint16_t freeLoopbackPort();

// Whether a socket without address reuse cannot bind the UDP port.
bool udpPortTaken(uint16_t port);

class RawClient {
 public:
  // Connects to 127.0.0.1:port, retrying while the listener comes up.
  explicit RawClient(uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  uint16_t localPort() const { return localPort_; }

  bool write(const Bytes& bytes);
  bool write(const std::string& text) { return write(Bytes(text.begin(), text.end())); }
  // A request frame; the transaction id counts up from 1 unless given.
  bool sendRequest(uint32_t tag, const Bytes& payload = {}, uint32_t sessionId = 0, uint16_t num = 0);
  uint8_t lastTransactionId() const { return transactionId_; }

  // Exactly n bytes, or nothing when the time runs out or the peer closes.
  std::optional<Bytes> readBytes(size_t n, std::chrono::milliseconds timeout);
  std::optional<Frame> readFrame(std::chrono::milliseconds timeout);
  // Everything until the peer closes; nothing when it does not close in time.
  std::optional<Bytes> readToEnd(std::chrono::milliseconds timeout);
  // The same, where the peer may also end with a reset: what arrived before it.
  struct Ending {
    Bytes received;
    bool reset = false;
  };
  std::optional<Ending> readToEndOrReset(std::chrono::milliseconds timeout);
  // True when nothing arrives within the time (the connection may stay open).
  bool silentFor(std::chrono::milliseconds duration);
  void shutdownWrite();
  // Closes at once with a reset instead of an orderly end.
  void reset();

  // A request and its answer, read until one of the tag comes.
  std::optional<Frame> call(uint32_t tag, const Bytes& payload = {}, uint32_t sessionId = 0, uint16_t num = 0);

 private:
  int fd_ = -1;
  uint16_t localPort_ = 0;
  uint8_t transactionId_ = 0;
};

}  // namespace zeltest
