// TLS reconnect cycles of an https:// client, with full and with resumed
// handshakes, side by side in one run:
// - against openssl s_server -www: connect, the handshake, the tunnel head
//   (a small HTTP request), and the server's answer, which ends the
//   connection;
// - against the library's own server: disconnect, then one small echo
//   request (connect, handshake, tunnel, registration, login, request).
// A full handshake is forced by forgetting the client's cached session
// before each cycle. Goal: resumed cycles at least as fast as full ones.
//
//   bench_tls_reconnect [seconds per run, default 3]
//   taskset -c 2 bench_tls_reconnect   (pinned: s_server runs on that core too)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "security/tls/ssl_session_cache.h"
#include "support/background_process.h"
#include "support/listening_port.h"
#include "support/raw_client.h"
#include "support/tls_credentials.h"
#include "zelkit/client.h"
#include "zelkit/server.h"
#include "zelkit/session.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using zelkit::detail::Connection;
using zelkit::detail::GlobalLock;

constexpr uint32_t kEcho = 0x0A010C31;
const std::string kCipher = "AES128-SHA:@SECLEVEL=0";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void echo(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  zelkit::ZelOutputStream reply;
  reply.writeOctet(1);
  session->respond(header, reply);
}

Connection* connectionOf(const std::string& url) {
  GlobalLock lock;
  return zelkit::detail::core().getConnection(url.c_str());
}

// The next handshake of the connection starts without a session to offer.
void forgetSession(Connection* connection) {
  GlobalLock lock;
  if (connection->ssl != nullptr) zelkit::detail::sslDropClientSession(connection->ssl);
}

uint32_t closedCount(Connection* connection) {
  GlobalLock lock;
  return connection->socketGeneration;
}

// One cycle against s_server -www: true once its answer closed the
// connection, false after 5 s.
bool cycleAgainstSServer(zelkit::ZelClient& client, Connection* connection) {
  const uint32_t closed = closedCount(connection);
  client.connect();
  const auto deadline = Clock::now() + 5s;
  while (closedCount(connection) == closed) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(20us);
  }
  return true;
}

bool cycleAgainstOurServer(zelkit::ZelClient& client) {
  client.disconnect();
  zelkit::ZelOutputStream none;
  zelkit::ZelInputStream reply;
  try {
    client.sendRequest(5000, kEcho, none, reply);
    reply.wait();
  } catch (zelkit::Exception* e) {
    std::fprintf(stderr, "request failed: %s\n", e->what());
    return false;
  }
  return true;
}

// Cycles per second; a failed cycle is counted apart and not timed out of
// the run, so one refusal does not void the figure.
struct Rate {
  double perSecond = 0;
  int failed = 0;
};

template <typename Cycle>
Rate cyclesPerSecond(double seconds, Connection* connection, bool resumed, Cycle cycle) {
  Rate rate;
  if (!cycle()) ++rate.failed;  // the session to resume, and a warm start
  int count = 0;
  const auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    if (!resumed) forgetSession(connection);
    if (cycle())
      ++count;
    else
      ++rate.failed;
  }
  rate.perSecond = count / secondsSince(start);
  return rate;
}

void report(const char* peer, Rate full, Rate resumed) {
  std::printf("%-22s full %8.1f/s  resumed %8.1f/s  resumed/full %.3fx", peer, full.perSecond, resumed.perSecond,
              full.perSecond > 0 ? resumed.perSecond / full.perSecond : 0.0);
  if (full.failed + resumed.failed > 0) std::printf("  (failed cycles: %d full, %d resumed)", full.failed, resumed.failed);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const zeltest::TlsCredentials credentials("bench");
  zelkit::ZelClient::setCertificateCheckingMode(zelkit::ZelClient::CertificateCheckNone, false, nullptr, nullptr);
  const std::string& certificate = credentials.certificatePem;
  const std::string& key = credentials.traditionalKeyPem;
  zelkit::ZelServer::setSslKeys(zelkit::SslCertificate, certificate.c_str(), static_cast<int>(certificate.size()));
  zelkit::ZelServer::setSslKeys(zelkit::SslPrivateKey, key.c_str(), static_cast<int>(key.size()));

  const uint16_t sServerPort = zeltest::freeLoopbackPort();
  zeltest::BackgroundProcess sServer({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(sServerPort),
                                      "-tls1", "-cipher", kCipher, "-key", credentials.traditionalKeyPath, "-cert",
                                      credentials.certificatePath, "-www", "-quiet"});
  if (!zeltest::waitUntilListening(sServerPort, 10s)) {
    std::fprintf(stderr, "s_server did not start: %s\n", sServer.output().c_str());
    return 1;
  }
  {
    const std::string url = "https://u:pw@127.0.0.1:" + std::to_string(sServerPort);
    zelkit::ZelClient client(url.c_str(), 0, 0);
    Connection* connection = connectionOf(url);
    auto cycle = [&] { return cycleAgainstSServer(client, connection); };
    const Rate full = cyclesPerSecond(seconds, connection, false, cycle);
    const Rate resumed = cyclesPerSecond(seconds, connection, true, cycle);
    report("openssl s_server -www", full, resumed);
  }

  zelkit::ZelServer server;
  server.registerCallback(kEcho, echo);
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
  server.bindHttpPort(httpsPort, true, nullptr);
  server.start(zeltest::freeLoopbackPort());
  {
    const std::string url = "https://u:pw@127.0.0.1:" + std::to_string(httpsPort);
    zelkit::ZelClient client(url.c_str(), 0, 0);
    Connection* connection = connectionOf(url);
    auto cycle = [&] { return cycleAgainstOurServer(client); };
    const Rate full = cyclesPerSecond(seconds, connection, false, cycle);
    const Rate resumed = cyclesPerSecond(seconds, connection, true, cycle);
    report("our server", full, resumed);
  }
  std::fflush(stdout);
  std::_Exit(0);  // the engine's threads run on
}
