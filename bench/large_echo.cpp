// Echoes of large payloads between two processes on loopback: the library's
// client against the library's server (its Zel port, in a process of its
// own), beside a raw blocking socket echo of the same size between two
// processes (TCP_NODELAY, one send and one receive of the whole payload
// each way), in interleaved batches of the same run:
// - per size: p50 and p99 per echo, and after a warm-up (1.5 s) the minor page
//   faults and the CPU time per echo in each process (getrusage in the
//   process itself). The library's client writes the payload into the
//   request's stream and reads the reply where it lies;
// - the resident size of the library's two processes when logged in, after
//   100 echoes of 8 MiB, and after standing idle for the housekeeping
//   (fresh processes, before the sizes are measured).
// Run it unpinned (as an application runs), pinned as a whole
// (taskset -c N: all processes share one core), and with busy loops beside
// it (second argument: that many spinning processes).
//
//   bench_large_echo [seconds per size and side, default 2] [busy loops, default 0]
//                    [sizes in KiB, comma-separated, default 64,256,1024,8192]
//                    [memory echoes of 8 MiB, default 100; 0: none]

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "echo_server.h"
#include "support/raw_client.h"
#include "support/tls_socket_link.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"
#include "zelkit/server.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr uint32_t kTagEcho = 0x0A010C31;
constexpr size_t kMemoryEchoSize = 8 << 20;
// Batches of about this many bytes alternate between the two sides.
constexpr size_t kBatchBytes = 16 << 20;
// Long enough for the housekeeping to pass twice, so that the blocks the
// previous size left behind are gone.
constexpr int kWarmUpEchoes = 8;
constexpr auto kWarmUpTime = 1500ms;

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

struct ProcessUsage {
  long minorFaults = 0;
  double cpuSeconds = 0;
  long residentBytes = 0;
};

ProcessUsage usageOfThisProcess() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return {usage.ru_minflt, bench::cpuSeconds(usage), bench::residentBytes()};
}

// A child process's own usage, asked for over a pipe and answered by a
// thread of the child.
class UsageProbe {
 public:
  UsageProbe() {
    if (::pipe(request_) != 0 || ::pipe(reply_) != 0) std::exit(1);
  }
  void answerInThisProcess() {
    std::thread([this] {
      char ask;
      while (::read(request_[0], &ask, 1) == 1) {
        const ProcessUsage usage = usageOfThisProcess();
        if (::write(reply_[1], &usage, sizeof usage) != sizeof usage) std::_Exit(1);
      }
    }).detach();
  }
  ProcessUsage ask() {
    const char ask = 1;
    ProcessUsage usage;
    if (::write(request_[1], &ask, 1) != 1 || ::read(reply_[0], &usage, sizeof usage) != sizeof usage) std::exit(1);
    return usage;
  }

 private:
  int request_[2];
  int reply_[2];
};

// Forks a child that runs body and ends with its parent.
template <typename Body>
pid_t forkChild(Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    body();
    std::_Exit(0);
  }
  if (child < 0) std::exit(1);
  return child;
}

// The anchor's server: each connection names its echo size in 4 bytes, then
// every payload it sends is received whole and sent back in one send.
void serveRawEchoes(int listenFd) {
  for (;;) {
    const int fd = ::accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    bench::noDelay(fd);
    uint32_t size = 0;
    if (bench::receiveAll(fd, reinterpret_cast<uint8_t*>(&size), sizeof size)) {
      std::vector<uint8_t> buffer(size);
      while (bench::receiveAll(fd, buffer.data(), size) && bench::sendAll(fd, buffer.data(), size)) {
      }
    }
    ::close(fd);
  }
}

void serveLibraryEchoes(uint16_t port) {
  try {
    // Never destroyed: the library's worker reads it until the process ends.
    auto* server = new bench::EchoServer();
    server->registerCallback(kTagEcho, zeltest::echoPayload);
    server->start(port);
  } catch (zelkit::Exception* error) {
    std::printf("server process: %s\n", error->what());
    std::_Exit(1);
  }
  for (;;) ::pause();
}

// A library server process with its usage probe.
struct LibraryServer {
  uint16_t port = 0;
  UsageProbe probe;
  void start() {
    port = zeltest::freeLoopbackPort();
    forkChild([this] {
      probe.answerInThisProcess();
      serveLibraryEchoes(port);
    });
  }
  std::string url() const { return "zelp://u:pw@127.0.0.1:" + std::to_string(port); }
};

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

// The payload is written into the request's stream, as an application
// builds it; the reply is read where it lies (copied out only to check it).
bool libraryEcho(zelkit::ZelClient& client, const std::vector<uint8_t>& request, std::vector<uint8_t>* checked) {
  zelkit::ZelOutputStream out;
  out.write(request.data(), static_cast<int>(request.size()));
  zelkit::ZelInputStream in;
  if (client.sendRequest(60000, kTagEcho, out, in) < 0) return false;
  in.wait();
  const int length = in.available();
  if (length != static_cast<int>(request.size())) return false;
  const unsigned char* payload = in.skip(length);
  if (checked != nullptr) checked->assign(payload, payload + length);
  return true;
}

bool rawEcho(int fd, const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
  return bench::sendAll(fd, request.data(), request.size()) && bench::receiveAll(fd, reply.data(), reply.size());
}

// The echoes of one side and what they cost each process.
struct Side {
  std::vector<double> microseconds;
  long clientFaults = 0;
  long serverFaults = 0;
  double clientCpuSeconds = 0;
  double serverCpuSeconds = 0;
  double seconds = 0;

  double percentile(int p) {
    std::sort(microseconds.begin(), microseconds.end());
    return microseconds[std::min(microseconds.size() - 1, microseconds.size() * static_cast<size_t>(p) / 100)];
  }
  double perEcho(double total) const { return total / static_cast<double>(microseconds.size()); }
};

template <typename Echo>
bool runBatch(Side& side, int echoes, UsageProbe& server, Echo echo) {
  const ProcessUsage clientBefore = usageOfThisProcess();
  const ProcessUsage serverBefore = server.ask();
  const auto batchStart = Clock::now();
  for (int i = 0; i < echoes; ++i) {
    const auto start = Clock::now();
    if (!echo()) return false;
    side.microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  side.seconds += std::chrono::duration<double>(Clock::now() - batchStart).count();
  const ProcessUsage clientAfter = usageOfThisProcess();
  const ProcessUsage serverAfter = server.ask();
  side.clientFaults += clientAfter.minorFaults - clientBefore.minorFaults;
  side.serverFaults += serverAfter.minorFaults - serverBefore.minorFaults;
  side.clientCpuSeconds += clientAfter.cpuSeconds - clientBefore.cpuSeconds;
  side.serverCpuSeconds += serverAfter.cpuSeconds - serverBefore.cpuSeconds;
  return true;
}

void printSide(const char* name, Side& side, size_t size) {
  const double p50 = side.percentile(50);
  std::printf("    %-8s p50 %9.1f us  p99 %9.1f us  %7.1f MB/s   per echo: minor faults client %7.1f server %7.1f,"
              "  CPU client %7.1f us server %7.1f us\n",
              name, p50, side.percentile(99), static_cast<double>(size) / p50,
              side.perEcho(static_cast<double>(side.clientFaults)), side.perEcho(static_cast<double>(side.serverFaults)),
              side.perEcho(side.clientCpuSeconds) * 1e6, side.perEcho(side.serverCpuSeconds) * 1e6);
}

bool compareSize(size_t size, double seconds, zelkit::ZelClient& client, uint16_t rawPort, UsageProbe& rawServer,
                 UsageProbe& libraryServer) {
  const std::vector<uint8_t> request = pattern(size);
  std::vector<uint8_t> reply(size);
  const int rawFd = bench::connectTo(rawPort);
  const uint32_t announced = static_cast<uint32_t>(size);
  if (!bench::sendAll(rawFd, reinterpret_cast<const uint8_t*>(&announced), sizeof announced)) return false;
  auto raw = [&] { return rawEcho(rawFd, request, reply); };
  auto library = [&] { return libraryEcho(client, request, nullptr); };
  std::fill(reply.begin(), reply.end(), 0);
  if (!raw() || reply != request) return false;
  std::fill(reply.begin(), reply.end(), 0);
  if (!libraryEcho(client, request, &reply) || reply != request) return false;
  const auto warmUpEnd = Clock::now() + kWarmUpTime;
  for (int i = 0; i < kWarmUpEchoes || Clock::now() < warmUpEnd; ++i)
    if (!raw() || !library()) return false;
  const int perBatch = static_cast<int>(std::max<size_t>(2, kBatchBytes / size));
  Side rawSide;
  Side librarySide;
  while (rawSide.seconds < seconds || librarySide.seconds < seconds) {
    if (!runBatch(rawSide, perBatch, rawServer, raw) || !runBatch(librarySide, perBatch, libraryServer, library))
      return false;
  }
  ::close(rawFd);
  std::printf("  %zu KiB echoes, %zu each, in batches of %d\n", size >> 10, librarySide.microseconds.size(), perBatch);
  const double rawP50 = rawSide.percentile(50);
  const double rawP99 = rawSide.percentile(99);
  printSide("raw", rawSide, size);
  printSide("library", librarySide, size);
  std::printf("    ratio    raw/library p50 %.2f  p99 %.2f\n", rawP50 / librarySide.percentile(50),
              rawP99 / librarySide.percentile(99));
  std::fflush(stdout);
  return true;
}

void printResident(const char* when, const ProcessUsage& client, const ProcessUsage& server) {
  std::printf("  %-36s client %7.1f MiB   server %7.1f MiB\n", when, static_cast<double>(client.residentBytes) / (1 << 20),
              static_cast<double>(server.residentBytes) / (1 << 20));
}

bool residentAfterLargeEchoes(LibraryServer& server, int echoes) {
  const std::vector<uint8_t> request = pattern(kMemoryEchoSize);
  zelkit::ZelClient client(server.url().c_str(), 0, 0);
  if (!libraryEcho(client, pattern(100), nullptr)) return false;
  std::printf("resident size of the library's processes, %d echoes of %zu MiB\n", echoes, kMemoryEchoSize >> 20);
  printResident("logged in", usageOfThisProcess(), server.probe.ask());
  for (int i = 0; i < echoes; ++i)
    if (!libraryEcho(client, request, nullptr)) return false;
  printResident("after the echoes", usageOfThisProcess(), server.probe.ask());
  // Housekeeping runs about every 600 ms; two passes see a block idle.
  std::this_thread::sleep_for(2s);
  printResident("idle for 2 s", usageOfThisProcess(), server.probe.ask());
  std::fflush(stdout);
  return true;
}

std::vector<size_t> parseSizes(const char* list) {
  std::vector<size_t> sizes;
  while (*list != 0) {
    char* end;
    const long kib = std::strtol(list, &end, 10);
    if (end == list) break;
    if (kib > 0) sizes.push_back(static_cast<size_t>(kib) << 10);
    list = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const int busyLoops = argc > 2 ? std::atoi(argv[2]) : 0;
  const std::vector<size_t> sizes = parseSizes(argc > 3 ? argv[3] : "64,256,1024,8192");
  const int memoryEchoes = argc > 4 ? std::atoi(argv[4]) : 100;

  // Every child is forked before this process starts a thread.
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ::sched_getaffinity(0, sizeof cpus, &cpus);
  std::printf("%d CPUs allowed, %d busy loops beside\n", CPU_COUNT(&cpus), busyLoops);
  for (int i = 0; i < busyLoops; ++i)
    forkChild([] {
      volatile unsigned long spin = 0;
      for (;;) spin = spin + 1;
    });
  uint16_t rawPort = 0;
  const int rawListenFd = bench::listenLoopback(rawPort);
  UsageProbe rawProbe;
  forkChild([&] {
    rawProbe.answerInThisProcess();
    serveRawEchoes(rawListenFd);
  });
  ::close(rawListenFd);
  LibraryServer memoryServer;
  if (memoryEchoes > 0) memoryServer.start();
  LibraryServer server;
  server.start();

  try {
    if (memoryEchoes > 0) {
      if (!answers(memoryServer.port) || !residentAfterLargeEchoes(memoryServer, memoryEchoes)) {
        std::printf("the memory run failed\n");
        return 1;
      }
    }
    if (!answers(server.port)) {
      std::printf("the server did not start\n");
      return 1;
    }
    zelkit::ZelClient client(server.url().c_str(), 0, 0);
    std::printf("echoes, library client and server in two processes beside a raw socket echo (p50, p99 per echo)\n");
    for (const size_t size : sizes) {
      if (!compareSize(size, seconds, client, rawPort, rawProbe, server.probe)) {
        std::printf("an echo of %zu bytes failed or came back wrong\n", size);
        return 1;
      }
    }
  } catch (zelkit::Exception* error) {
    std::printf("failed: %s\n", error->what());
    return 1;
  }
  return 0;
}
