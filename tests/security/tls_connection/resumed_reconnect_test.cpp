#include <gtest/gtest.h>

#include <linux/tcp.h>

#include <optional>
#include <string>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "platform/socket.h"
#include "security/tls_connection/tls_device_util.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace tlstest;

void echo(zelkit::ZelClient& client, uint8_t byte) {
  zelkit::ZelOutputStream out;
  out.writeOctet(byte);
  zelkit::ZelInputStream reply;
  client.sendRequest(10000, kTagEcho, out, reply);
  reply.wait();
}

// Segments with data the connection's socket has sent so far; none where
// the socket's TCP statistics cannot be read (a 32-bit build run under an
// emulator that does not pass TCP_INFO through).
std::optional<uint32_t> dataSegmentsSent(const std::string& url) {
  zelkit::detail::GlobalLock lock;
  const zelkit::detail::Connection* connection = zelkit::detail::core().getConnection(url.c_str());
  tcp_info info{};
  int length = sizeof info;
  if (connection == nullptr ||
      zelkit::platform::getSocketOption(connection->socketHandle, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      info.tcpi_data_segs_out == 0)
    return std::nullopt;
  return info.tcpi_data_segs_out;
}

// A resumed handshake ends with the client's own flight, which nothing
// from the device acknowledges at once: the tunnel head and the login
// queued behind it leave in the same write, or they would wait for the
// device's delayed ACK. So the resumed connection up to its first reply
// sends one segment fewer than the full one did.
TEST(HttpsReconnect, ResumedHandshakeSendsItsFlightWithTheQueuedRecords) {
  ZELKIT_REQUIRE_TOOL("python3");
  PythonDevice device;
  const std::string url = "https://u:pw@127.0.0.1:" + std::to_string(device.port());
  zelkit::ZelClient client(url.c_str(), 0, 0);
  echo(client, 1);
  const std::optional<uint32_t> full = dataSegmentsSent(url);
  if (!full) GTEST_SKIP() << "the socket's TCP statistics cannot be read here";
  EXPECT_THROW(
      {
        zelkit::ZelOutputStream none;
        zelkit::ZelInputStream reply;
        client.sendRequest(10000, kTagCloseNotify, none, reply);
        reply.wait();
      },
      zelkit::Exception*);
  ASSERT_TRUE(device.process().waitForLine("CLOSED", 5s));
  echo(client, 2);
  const std::optional<uint32_t> resumed = dataSegmentsSent(url);
  ASSERT_EQ(device.lines("HANDSHAKE "), (std::vector<std::string>{"HANDSHAKE reused=0", "HANDSHAKE reused=1"}));
  ASSERT_TRUE(resumed);
  EXPECT_GT(*full, 3u);
  EXPECT_EQ(*resumed + 1, *full);
}

}  // namespace
