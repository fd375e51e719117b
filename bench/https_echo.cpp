// 1 MB echoes through the library's client over https:// (TLS 1.0,
// AES128-SHA) against the library's server in a process of its own, beside
// `openssl speed -evp aes-128-cbc-hmac-sha1` at 16 KiB in the same run, the
// two taking turns round by round. An echo seals and opens every byte twice,
// so two ends that take turns cannot pass 0.25x of openssl's figure even with
// free transport; ends that open while the other still seals can.
// Per round and scheme: MB/s of echoed bytes, p50 and p99 per echo, and per
// echo the CPU time and minor page faults of the client process and of the
// server process. CPU time beside the echo's wall time tells whether the two
// ends work at once (their sum above the echo's time) or in turns.
// zelp:// echoes on the same server run in the same rounds, so that what TLS
// adds is told apart from the rest of the road.
// Then the same two schemes against tls_peer.py (Python's socket and ssl
// modules) and against the library's server in the client's own process,
// where one worker thread takes every step of both ends in turn.
// Run it unpinned (as an application runs) and pinned: with pin=C,S the
// client process (and openssl speed) runs on CPU C, the server process on
// CPU S. "apart" runs the server process's rounds only, "tls" leaves the
// zelp:// echoes out (for a profile of the https:// ones).
//
//   bench_https_echo [seconds per round, default 3] [rounds, default 3] [echo MB, default 1]
//                    [pin=C,S] [apart] [tls]

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "echo_server.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "support/raw_client.h"
#include "support/tls_credentials.h"
#include "support/tls_socket_link.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"
#include "zelkit/server.h"
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

void pinTo(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (::sched_setaffinity(0, sizeof set, &set) != 0) std::printf("cannot pin to CPU %d\n", cpu);
}

// CPU time and minor page faults of a process so far.
struct Usage {
  double cpuSeconds = 0;
  long long minorFaults = 0;
};

Usage selfUsage() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return {seconds(usage.ru_utime) + seconds(usage.ru_stime), usage.ru_minflt};
}

// From /proc/<pid>/stat: fields 10 (minflt), 14 (utime) and 15 (stime).
Usage processUsage(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t afterName = text.rfind(')');
  if (afterName == std::string::npos) return {};
  std::istringstream fields(text.substr(afterName + 2));
  std::vector<std::string> values;
  for (std::string value; fields >> value;) values.push_back(value);
  // values[0] is field 3 (state).
  if (values.size() < 13) return {};
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return {(std::stod(values[11]) + std::stod(values[12])) / ticks, std::stoll(values[7])};
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
  // Reads the lines it printed, so that it never blocks on a full pipe.
  void drain() { process_->readAvailable(); }

 private:
  std::unique_ptr<zeltest::BackgroundProcess> process_;
  uint16_t port_ = 0;
};

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

// What the far end of the echoes is.
struct Peer {
  Device* device = nullptr;  // read after every echo, when set
  pid_t process = 0;         // its usage is measured, when set
};

struct Figures {
  double rate = -1;  // MB/s of echoed request bytes; -1: an echo failed
  double p50Ms = 0;
  double p99Ms = 0;
  double clientCpuMs = 0;  // per echo
  double serverCpuMs = 0;
  double clientFaults = 0;
  double serverFaults = 0;
};

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(std::ceil(fraction * values.size())) - 1);
  return values[index];
}

Figures echoRound(zelkit::ZelClient& client, const Peer& peer, const std::vector<uint8_t>& request, double seconds) {
  std::vector<uint8_t> reply(request.size());
  std::vector<double> times;
  Figures figures;
  const Usage clientBefore = selfUsage();
  const Usage serverBefore = peer.process != 0 ? processUsage(peer.process) : Usage{};
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  for (auto now = start; now < end;) {
    if (!echo(client, request, reply)) return figures;
    const auto done = Clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(done - now).count());
    if (peer.device != nullptr) peer.device->drain();
    now = Clock::now();
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const Usage clientAfter = selfUsage();
  const Usage serverAfter = peer.process != 0 ? processUsage(peer.process) : Usage{};
  const double echoes = static_cast<double>(times.size());
  figures.rate = echoes * static_cast<double>(request.size()) / elapsed / 1e6;
  figures.p50Ms = percentile(times, 0.5);
  figures.p99Ms = percentile(times, 0.99);
  figures.clientCpuMs = (clientAfter.cpuSeconds - clientBefore.cpuSeconds) * 1e3 / echoes;
  figures.serverCpuMs = (serverAfter.cpuSeconds - serverBefore.cpuSeconds) * 1e3 / echoes;
  figures.clientFaults = static_cast<double>(clientAfter.minorFaults - clientBefore.minorFaults) / echoes;
  figures.serverFaults = static_cast<double>(serverAfter.minorFaults - serverBefore.minorFaults) / echoes;
  return figures;
}

// MB/s of openssl speed sealing 16 KiB records, or -1.
double opensslRecordRate(double seconds) {
  const int whole = std::max(1, static_cast<int>(std::lround(seconds)));
  const auto output = zelkit::test::runTool("openssl speed -mr -seconds " + std::to_string(whole) +
                                            " -bytes 16384 -evp aes-128-cbc-hmac-sha1 2>/dev/null");
  if (!output) return -1;
  const std::string text(output->begin(), output->end());
  const size_t line = text.rfind("+F:");
  if (line == std::string::npos) return -1;
  const size_t colon = text.find_last_of(':', text.find('\n', line));
  return std::atof(text.c_str() + colon + 1) / 1e6;
}

void printFigures(const char* scheme, const Figures& f, bool withServer) {
  std::printf("  %-9s %8.1f MB/s  p50 %6.2f ms  p99 %6.2f ms  CPU/echo client %5.2f ms", scheme, f.rate, f.p50Ms,
              f.p99Ms, f.clientCpuMs);
  if (withServer) std::printf(" server %5.2f ms", f.serverCpuMs);
  std::printf("  faults/echo client %6.1f", f.clientFaults);
  if (withServer) std::printf(" server %6.1f", f.serverFaults);
  std::printf("\n");
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

// Both schemes against one peer and openssl speed, in alternating rounds;
// prints every round and the medians.
bool compare(const char* name, const std::string& plainUrl, const std::string& tlsUrl, const Peer& plainPeer,
             const Peer& tlsPeer, const std::vector<uint8_t>& request, double seconds, int rounds, bool withPlain) {
  zelkit::ZelClient plain(plainUrl.c_str(), 0, 0);
  zelkit::ZelClient tls(tlsUrl.c_str(), 0, 0);
  std::vector<uint8_t> reply(request.size());
  // Logged in, and the echo checked once, byte for byte.
  for (zelkit::ZelClient* client : {&plain, &tls}) {
    if (!echo(*client, request, reply) || reply != request) {
      std::printf("%s: an echo came back wrong\n", name);
      return false;
    }
  }
  std::vector<double> plainRates;
  std::vector<double> tlsRates;
  std::vector<double> opensslRates;
  for (int round = 0; round < rounds; ++round) {
    const Figures plainFigures = withPlain ? echoRound(plain, plainPeer, request, seconds) : Figures{0};
    const Figures tlsFigures = echoRound(tls, tlsPeer, request, seconds);
    const double openssl = opensslRecordRate(seconds);
    if (plainFigures.rate < 0 || tlsFigures.rate < 0) {
      std::printf("%s, round %d: an echo failed\n", name, round + 1);
      return false;
    }
    plainRates.push_back(plainFigures.rate);
    tlsRates.push_back(tlsFigures.rate);
    opensslRates.push_back(openssl);
    std::printf("%s, round %d (openssl speed %.1f MB/s):\n", name, round + 1, openssl);
    if (withPlain) printFigures("zelp://", plainFigures, plainPeer.process != 0);
    printFigures("https://", tlsFigures, tlsPeer.process != 0);
  }
  const double plainRate = median(plainRates);
  const double tlsRate = median(tlsRates);
  const double opensslRate = median(opensslRates);
  std::printf("%s, %zu-byte echoes, median  zelp:// %.1f MB/s  https:// %.1f MB/s  openssl speed %.1f MB/s  "
              "https/zelp %.2f  https/openssl %.3f\n",
              name, request.size(), plainRate, tlsRate, opensslRate, plainRate > 0 ? tlsRate / plainRate : 0.0,
              opensslRate > 0 ? tlsRate / opensslRate : 0.0);
  return true;
}

// The library's echo server on the two ports, with the keys of credentials.
void startServer(const zeltest::TlsCredentials& credentials, uint16_t zelPort, uint16_t httpsPort) {
  const std::string& certificate = credentials.certificatePem;
  const std::string& key = credentials.traditionalKeyPem;
  zelkit::ZelServer::setSslKeys(zelkit::SslCertificate, certificate.c_str(), static_cast<int>(certificate.size()));
  zelkit::ZelServer::setSslKeys(zelkit::SslPrivateKey, key.c_str(), static_cast<int>(key.size()));
  // Never destroyed: the library's worker reads it until the process ends.
  auto* server = new bench::EchoServer();
  server->registerCallback(kTagEcho, zeltest::echoPayload);
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
bool compareWithServer(const char* name, uint16_t zelPort, uint16_t httpsPort, pid_t process,
                       const std::vector<uint8_t>& request, double seconds, int rounds, bool withPlain) {
  if (!answers(zelPort) || !answers(httpsPort)) {
    std::printf("%s: the server did not start\n", name);
    return false;
  }
  const Peer peer{nullptr, process};
  return compare(name, "zelp://u:pw@127.0.0.1:" + std::to_string(zelPort),
                 "https://u:pw@127.0.0.1:" + std::to_string(httpsPort), peer, peer, request, seconds, rounds, withPlain);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const size_t megabytes = argc > 3 ? static_cast<size_t>(std::atoi(argv[3])) : 1;
  int clientCpu = -1;
  int serverCpu = -1;
  bool apartOnly = false;
  bool withPlain = true;
  for (int i = 4; i < argc; ++i) {
    const std::string option = argv[i];
    if (option.rfind("pin=", 0) == 0 && std::sscanf(option.c_str(), "pin=%d,%d", &clientCpu, &serverCpu) != 2) {
      std::printf("pin=C,S takes two CPU numbers\n");
      return 2;
    }
    if (option == "apart") apartOnly = true;
    if (option == "tls") withPlain = false;
  }
  try {
    zeltest::TlsCredentials credentials;
    const std::vector<uint8_t> request = pattern(megabytes << 20);
    // The server process first, while this one has no thread but its own.
    const uint16_t apartZelPort = zeltest::freeLoopbackPort();
    const uint16_t apartHttpsPort = zeltest::freeLoopbackPort();
    const pid_t serverProcess = ::fork();
    if (serverProcess == 0) {
      pinTo(serverCpu);
      try {
        startServer(credentials, apartZelPort, apartHttpsPort);
      } catch (zelkit::Exception* error) {
        std::printf("server process: %s\n", error->what());
        std::_Exit(1);
      }
      for (;;) ::pause();
    }
    pinTo(clientCpu);
    const bool apart = serverProcess > 0 && compareWithServer("server process", apartZelPort, apartHttpsPort,
                                                              serverProcess, request, seconds, rounds, withPlain);
    if (serverProcess > 0) {
      ::kill(serverProcess, SIGTERM);
      ::waitpid(serverProcess, nullptr, 0);
    }
    if (!apart) return 1;
    if (apartOnly) return 0;
    {
      Device plainDevice(credentials, true);
      Device tlsDevice(credentials, false);
      if (plainDevice.port() == 0 || tlsDevice.port() == 0) {
        std::printf("the Python device did not start\n");
        return 1;
      }
      if (!compare("python device", "zelp://u:pw@127.0.0.1:" + std::to_string(plainDevice.port()),
                   "https://u:pw@127.0.0.1:" + std::to_string(tlsDevice.port()), Peer{&plainDevice, 0},
                   Peer{&tlsDevice, 0}, request, seconds, rounds, withPlain)) {
        return 1;
      }
    }
    const uint16_t zelPort = zeltest::freeLoopbackPort();
    const uint16_t httpsPort = zeltest::freeLoopbackPort();
    startServer(credentials, zelPort, httpsPort);
    if (!compareWithServer("same process", zelPort, httpsPort, 0, request, seconds, rounds, withPlain)) return 1;
  } catch (const std::exception& error) {
    std::printf("failed: %s\n", error.what());
    return 1;
  } catch (zelkit::Exception* error) {
    std::printf("failed: %s\n", error->what());
    return 1;
  }
  return 0;
}
