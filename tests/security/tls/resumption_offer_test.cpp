#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "security/tls/interop_support.h"
#include "security/tls/server_files.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "support/tls_memory_link.h"
#include "support/tls_socket_link.h"

namespace zelkit::detail {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using zeltest::BackgroundProcess;

constexpr uint8_t kHandshake = 22;
constexpr uint8_t kAlert = 21;
const std::string kOpensslCipher = "AES128-SHA:@SECLEVEL=0";

// The session id s_client reports ("Session-ID: <hex>"), empty when none.
Bytes sessionIdOf(const std::string& output) {
  const std::string label = "Session-ID: ";
  const size_t at = output.find(label);
  if (at == std::string::npos) return {};
  Bytes id;
  for (size_t i = at + label.size(); i + 1 < output.size() && std::isxdigit(static_cast<unsigned char>(output[i])) &&
                                     std::isxdigit(static_cast<unsigned char>(output[i + 1]));
       i += 2)
    id.push_back(static_cast<uint8_t>(std::stoi(output.substr(i, 2), nullptr, 16)));
  return id;
}

// Reads until the first record is whole: its type and body.
std::optional<std::pair<uint8_t, Bytes>> firstRecord(int socket) {
  const timeval timeout{10, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  Bytes received;
  for (;;) {
    if (received.size() >= 5) {
      const size_t length = static_cast<size_t>(received[3] << 8 | received[4]);
      if (received.size() >= 5 + length)
        return std::make_pair(received[0], Bytes(received.begin() + 5, received.begin() + 5 + length));
    }
    uint8_t buffer[4096];
    const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0) return std::nullopt;
    received.insert(received.end(), buffer, buffer + got);
  }
}

// A client of our server resumes only what it still offers: s_client makes
// a session, then hellos of our own bytes offer its id with other suites
// or compressions. Those get a new session with a suite they offer, or a
// handshake_failure alert; the session itself stays resumable.
TEST(TlsResumptionOffer, OnlyTheSessionsSuiteAndNoCompressionResume) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const test::ServerFiles files(2048);
  files.configure();
  struct Case {
    const char* what;
    std::vector<uint16_t> suites;
    uint8_t compression;
    bool resumed;
    uint16_t suite;  // 0: a handshake_failure alert
  };
  const std::vector<Case> cases = {
      {"another suite of ours", {0x0009}, 0, false, 0x0009},
      {"only deflate compression", {0x002F}, 1, false, 0x002F},
      {"no suite of ours", {0x0035}, 0, false, 0},
      {"the session's suite", {0x0009, 0x002F}, 0, true, 0x002F},
  };
  test::LoopbackListener listener;
  test::ServedConnections served(listener, 1 + static_cast<int>(cases.size()), "");
  BackgroundProcess client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(listener.port()),
                            "-tls1", "-cipher", kOpensslCipher});
  client.closeInput();
  ASSERT_TRUE(client.waitForExit(30s).has_value());
  const Bytes id = sessionIdOf(client.output());
  ASSERT_EQ(id.size(), 32u) << client.output();

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes body = test::clientHelloBody(c.suites, id);
    body.back() = c.compression;
    const int socket = test::connectLoopback(listener.port());
    ASSERT_GE(socket, 0);
    const Bytes hello = test::tlsRecord(kHandshake, 0x0301, test::handshakeMessage(1, body));
    ASSERT_EQ(::send(socket, hello.data(), hello.size(), MSG_NOSIGNAL), static_cast<ssize_t>(hello.size()));
    const auto record = firstRecord(socket);
    ::close(socket);
    ASSERT_TRUE(record.has_value());
    if (c.suite == 0) {
      EXPECT_EQ(record->first, kAlert);
      EXPECT_EQ(record->second, (Bytes{2, 40}));
      continue;
    }
    ASSERT_EQ(record->first, kHandshake);
    const Bytes& serverHello = record->second;
    ASSERT_GE(serverHello.size(), 4u + 2 + 32 + 1 + 32 + 2u);
    ASSERT_EQ(serverHello[0], 2);
    ASSERT_EQ(serverHello[4 + 2 + 32], 32);
    const Bytes sentId(serverHello.begin() + 4 + 2 + 32 + 1, serverHello.begin() + 4 + 2 + 32 + 1 + 32);
    EXPECT_EQ(sentId == id, c.resumed);
    EXPECT_EQ(serverHello[4 + 2 + 32 + 1 + 32] << 8 | serverHello[4 + 2 + 32 + 1 + 32 + 1], c.suite);
  }
  const auto connections = served.finish();
  ASSERT_EQ(connections.size(), 1 + cases.size());
  EXPECT_EQ(connections[0].handshake, 1);
}

}  // namespace
}  // namespace zelkit::detail
