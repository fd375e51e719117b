#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/tls_socket_link.h"
#include "support/background_process.h"

// Helpers of the tests against outside TLS programs.
namespace zelkit::test {

// The port of an "ACCEPT 127.0.0.1:PORT" line of openssl s_server, 0 when
// none comes.
uint16_t acceptPort(zeltest::BackgroundProcess& server);
// The client cache key of 127.0.0.1:port.
uint64_t loopbackPeerKey(uint16_t port);

// The master secret (hex) of the CLIENT_RANDOM line for this client random
// in an NSS key log file, "" when there is none.
std::string keylogMasterSecret(const std::string& path, const uint8_t clientRandom[32]);
std::string masterSecretHex(const detail::SslContext* ctx);
size_t countOf(const std::string& text, const std::string& part);

// What our server saw of one connection.
struct ServedConnection {
  int handshake = 0;   // sslHandshakeStep's final result
  bool resumed = false;
  std::array<uint8_t, 32> clientRandom{};
  std::string masterSecret;  // hex
  std::string received;      // application bytes until the client closed
};

// Our TLS server on a thread: up to `count` connections one after the
// other, each handshaken, greeted and read until the client closes.
class ServedConnections {
 public:
  ServedConnections(LoopbackListener& listener, int count, std::string greeting);
  ~ServedConnections();
  ServedConnections(ServedConnections&&) = delete;
  // Waits for the server thread and returns what it saw.
  std::vector<ServedConnection> finish();

 private:
  std::vector<ServedConnection> connections_;
  std::thread thread_;
};

}  // namespace zelkit::test
