#include "security/tls/interop_support.h"

#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <sstream>

#include "security/tls/ssl_session_cache.h"
#include "support/external_tool.h"

namespace zelkit::test {

uint16_t acceptPort(zeltest::BackgroundProcess& server) {
  const auto line = server.waitForLine("ACCEPT", std::chrono::seconds(10));
  if (!line) return 0;
  const size_t colon = line->rfind(':');
  return colon == std::string::npos ? 0 : static_cast<uint16_t>(std::stoi(line->substr(colon + 1)));
}

uint64_t loopbackPeerKey(uint16_t port) {
  const uint8_t address[4] = {127, 0, 0, 1};
  return detail::sslPeerKey(AF_INET, address, sizeof address, port);
}

std::string keylogMasterSecret(const std::string& path, const uint8_t clientRandom[32]) {
  std::ifstream in(path);
  const std::string wanted = "CLIENT_RANDOM " + toHex(clientRandom, 32) + " ";
  std::string line;
  while (std::getline(in, line)) {
    for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string lowerWanted = wanted;
    for (char& c : lowerWanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (line.rfind(lowerWanted, 0) == 0) return line.substr(lowerWanted.size());
  }
  return "";
}

std::string masterSecretHex(const detail::SslContext* ctx) { return toHex(ctx->masterSecret, 48); }

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
  return count;
}

ServedConnections::ServedConnections(LoopbackListener& listener, int count, std::string greeting)
    : thread_([this, &listener, count, greeting] {
        for (int i = 0; i < count; ++i) {
          const int socket = listener.accept();
          if (socket < 0) return;
          SocketEnd end(socket);
          ServedConnection connection;
          connection.handshake = serverHandshake(end);
          if (connection.handshake == 1) {
            connection.resumed = end.ctx->resume != 0;
            std::copy_n(end.ctx->clientRandom, 32, connection.clientRandom.begin());
            connection.masterSecret = masterSecretHex(end.ctx);
            writeAll(end, greeting);
            connection.received = readUntilClosed(end);
          }
          connections_.push_back(connection);
        }
      }) {}

ServedConnections::~ServedConnections() {
  if (thread_.joinable()) thread_.join();
}

std::vector<ServedConnection> ServedConnections::finish() {
  if (thread_.joinable()) thread_.join();
  return connections_;
}

}  // namespace zelkit::test
