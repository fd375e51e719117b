// 1 MB echoes through the library's client over https:// beside the same
// echoes over zelp:// in the same run, against two devices that each serve
// both schemes, so that the ratio is what TLS costs the whole road:
// - an outside device (tls_peer.py: Python's socket and ssl modules,
//   AES128-SHA in TLS 1.0), whose own copies weigh on both figures;
// - the library's own server (its Zel port and its TLS port), where both
//   ends of every record are the engine's: in a process of its own, as a
//   device on the network runs beside its client, and in the client's
//   process, where one worker thread takes every step of both ends in turn.
// Rounds of the two schemes alternate; the median of the rounds is reported.
// Run it unpinned (as an application runs) and pinned as a whole
// (taskset -c N, so device and client share one core).
//
//   bench_https_echo [seconds per round, default 3] [rounds, default 3] [echo MB, default 1]

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/background_process.h"
#include "support/raw_client.h"
#include "support/tls_credentials.h"
#include "support/tls_socket_link.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"
#include "zelkit/server.h"
#include "zelkit/session.h"
#include "zelkit/ssl_keys.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kTagEcho = 0x0A010C31;  // tls_peer.py answers it with the payload

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

// tls_peer.py's device, with or without TLS, listening.
class Device {
 public:
  Device(const zeltest::TlsCredentials& credentials, bool plain) {
    std::vector<std::string> argv{"python3", zeltest::tlsPeerScript(), "device", "--cert",
                                  credentials.certificatePath, "--key", credentials.keyPath};
    if (plain) argv.push_back("--plain");
    process_ = std::make_unique<zeltest::BackgroundProcess>(argv);
    const auto line = process_->waitForLine("LISTENING ", 10s);
    if (line) port_ = static_cast<uint16_t>(std::stoi(line->substr(line->find(' ') + 1)));
  }
  uint16_t port() const { return port_; }
  // Reads the lines it printed, so that its pipe never fills.
  void drain() { process_->waitForLine("\x01", 0ms); }

 private:
  std::unique_ptr<zeltest::BackgroundProcess> process_;
  uint16_t port_ = 0;
};

// The library's server: every login is granted, the echo answers with the
// request's payload.
class EchoSession : public zelkit::ZelSession {
 public:
  int onLogin(const zelkit::ZelHeader&, const char*, const char*) override { return 2; }
};

class EchoServer : public zelkit::ZelServer {
 public:
  zelkit::ZelSession* createSession() override { return new EchoSession(); }
};

void answerEcho(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream& request) {
  zelkit::ZelOutputStream reply;
  const int length = request.available();
  if (length > 0) reply.write(request.skip(length), length);
  session->respond(header, reply);
}

// One echo; false when the reply is not the request.
bool echo(zelkit::ZelClient& client, const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
  zelkit::ZelOutputStream out;
  out.write(request.data(), static_cast<int>(request.size()));
  zelkit::ZelInputStream in;
  if (client.sendRequest(20000, kTagEcho, out, in) < 0) return false;
  in.wait();
  if (in.available() != static_cast<int>(request.size())) return false;
  in.read(reply.data(), static_cast<int>(reply.size()));
  return true;
}

// MB/s of echoed request bytes over `seconds`, or -1 on a failed echo.
double echoRate(zelkit::ZelClient& client, Device* device, const std::vector<uint8_t>& request, double seconds) {
  std::vector<uint8_t> reply(request.size());
  long long bytes = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (!echo(client, request, reply)) return -1;
    bytes += static_cast<long long>(request.size());
    if (device != nullptr) device->drain();
  }
  return static_cast<double>(bytes) / std::chrono::duration<double>(Clock::now() - start).count() / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Both schemes against one device, in alternating rounds; prints the rates.
bool compare(const char* device, const std::string& plainUrl, const std::string& tlsUrl, Device* plainDevice,
             Device* tlsDevice, const std::vector<uint8_t>& request, double seconds, int rounds) {
  zelkit::ZelClient plain(plainUrl.c_str(), 0, 0);
  zelkit::ZelClient tls(tlsUrl.c_str(), 0, 0);
  std::vector<uint8_t> reply(request.size());
  // Logged in, and the echo checked once, byte for byte.
  for (zelkit::ZelClient* client : {&plain, &tls}) {
    if (!echo(*client, request, reply) || reply != request) {
      std::printf("%s: an echo came back wrong\n", device);
      return false;
    }
  }
  std::vector<double> plainRates;
  std::vector<double> tlsRates;
  for (int round = 0; round < rounds; ++round) {
    plainRates.push_back(echoRate(plain, plainDevice, request, seconds));
    tlsRates.push_back(echoRate(tls, tlsDevice, request, seconds));
    std::printf("%s, round %d: zelp:// %8.1f MB/s   https:// %8.1f MB/s\n", device, round + 1, plainRates.back(),
                tlsRates.back());
  }
  const double plainRate = median(plainRates);
  const double tlsRate = median(tlsRates);
  std::printf("%s, %zu-byte echoes, median  zelp:// %8.1f MB/s   https:// %8.1f MB/s   ratio %.2f\n", device,
              request.size(), plainRate, tlsRate, plainRate > 0 ? tlsRate / plainRate : 0.0);
  return true;
}

// The library's echo server on the two ports, with the keys of credentials.
void startServer(const zeltest::TlsCredentials& credentials, uint16_t zelPort, uint16_t httpsPort) {
  const std::string& certificate = credentials.certificatePem;
  const std::string& key = credentials.traditionalKeyPem;
  zelkit::ZelServer::setSslKeys(zelkit::SslCertificate, certificate.c_str(), static_cast<int>(certificate.size()));
  zelkit::ZelServer::setSslKeys(zelkit::SslPrivateKey, key.c_str(), static_cast<int>(key.size()));
  // Never destroyed: the library's worker reads it until the process ends.
  auto* server = new EchoServer();
  server->registerCallback(kTagEcho, answerEcho);
  server->bindHttpPort(httpsPort, true, nullptr);
  server->start(zelPort);
}

// True once a connection to the port is accepted (the server listens on
// every address, so the table of listeners shows no 127.0.0.1 entry).
bool answers(uint16_t port) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int probe = zelkit::test::connectLoopback(port);
    if (probe >= 0) {
      ::close(probe);
      return true;
    }
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

// Against the library's server on the two ports.
bool compareWithServer(const char* device, uint16_t zelPort, uint16_t httpsPort, const std::vector<uint8_t>& request,
                       double seconds, int rounds) {
  if (!answers(zelPort) || !answers(httpsPort)) {
    std::printf("%s: the server did not start\n", device);
    return false;
  }
  return compare(device, "zelp://u:pw@127.0.0.1:" + std::to_string(zelPort),
                 "https://u:pw@127.0.0.1:" + std::to_string(httpsPort), nullptr, nullptr, request, seconds, rounds);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const size_t megabytes = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) : 1;
  try {
    zeltest::TlsCredentials credentials;
    const std::vector<uint8_t> request = pattern(megabytes << 20);
    // The server process first, while this one has no thread but its own.
    const uint16_t apartZelPort = zeltest::freeLoopbackPort();
    const uint16_t apartHttpsPort = zeltest::freeLoopbackPort();
    const pid_t serverProcess = ::fork();
    if (serverProcess == 0) {
      try {
        startServer(credentials, apartZelPort, apartHttpsPort);
      } catch (zelkit::Exception* error) {
        std::printf("server process: %s\n", error->what());
        std::_Exit(1);
      }
      for (;;) ::pause();
    }
    const bool apart = serverProcess > 0 &&
                       compareWithServer("server process", apartZelPort, apartHttpsPort, request, seconds, rounds);
    if (serverProcess > 0) {
      ::kill(serverProcess, SIGKILL);
      ::waitpid(serverProcess, nullptr, 0);
    }
    if (!apart) return 1;
    {
      Device plainDevice(credentials, true);
      Device tlsDevice(credentials, false);
      if (plainDevice.port() == 0 || tlsDevice.port() == 0) {
        std::printf("the Python device did not start\n");
        return 1;
      }
      if (!compare("python device", "zelp://u:pw@127.0.0.1:" + std::to_string(plainDevice.port()),
                   "https://u:pw@127.0.0.1:" + std::to_string(tlsDevice.port()), &plainDevice, &tlsDevice, request,
                   seconds, rounds)) {
        return 1;
      }
    }
    const uint16_t zelPort = zeltest::freeLoopbackPort();
    const uint16_t httpsPort = zeltest::freeLoopbackPort();
    startServer(credentials, zelPort, httpsPort);
    if (!compareWithServer("same process", zelPort, httpsPort, request, seconds, rounds)) return 1;
  } catch (const std::exception& error) {
    std::printf("failed: %s\n", error.what());
    return 1;
  } catch (zelkit::Exception* error) {
    std::printf("failed: %s\n", error->what());
    return 1;
  }
  return 0;
}
