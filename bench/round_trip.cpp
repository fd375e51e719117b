// Requests through the library against a minimal batching device on plain
// sockets (a process of its own, one thread per connection), beside plain
// clients of the same frames to the same device in the same run:
// - synchronous round trips, p50 and p99, the client process's CPU time and
//   context switches per round trip, against a blocking ping-pong; once
//   against a device that answers at once and once against one that answers
//   after 1 ms;
// - pipelined requests (window 200 per connection) on 1, 8, 64 and 256
//   connections, against a one-thread busy-polling epoll client, with the
//   client process's CPU time per request;
// - the memory an idle logged-in connection costs the client process.
// Run it unpinned (as an application runs) and pinned as a whole
// (taskset -c N, so device and client share one core).
//
//   bench_round_trip [round trips, 0: none] [seconds per throughput run, 0: none] [repeats]
//                    [connection counts, comma-separated]

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using bench::connectTo;
using bench::cpuSeconds;
using bench::listenLoopback;
using bench::noDelay;
using bench::residentBytes;
using bench::sendAll;

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kRegister = 0xFF000C31;
constexpr int kPayload = 20;
constexpr int kFrame = 20 + kPayload;
constexpr int kWindow = 200;  // outstanding requests per connection when pipelining
constexpr int kIdleConnections = 256;

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t read32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

// The device: every request is answered with its own payload; Register gets
// result 1, privilege 3, client id 1. All replies to what one read brought
// go out in one send, after the device's delay.
void serveConnection(int fd, int delayMicroseconds) {
  noDelay(fd);
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  std::vector<uint8_t> buffer(65536);
  for (;;) {
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) break;
    in.insert(in.end(), buffer.data(), buffer.data() + got);
    size_t offset = 0;
    out.clear();
    while (in.size() - offset >= 4) {
      const size_t length = read16(&in[offset + 2]);
      if (length < 20) return;
      if (in.size() - offset < length) break;
      const uint8_t* frame = &in[offset];
      const uint32_t tag = read32(frame + 4);
      if ((frame[8] & 0x0F) == 0 && (frame[8] & 0x80) == 0) {
        const uint8_t registered[4] = {1, 3, 0, 1};
        const uint8_t* payload = tag == kRegister ? registered : frame + 20;
        const size_t payloadLength = tag == kRegister ? 4 : length - 20;
        const size_t start = out.size();
        out.resize(start + 20 + payloadLength);
        uint8_t* reply = &out[start];
        std::memcpy(reply, frame, 20);
        reply[2] = static_cast<uint8_t>((20 + payloadLength) >> 8);
        reply[3] = static_cast<uint8_t>(20 + payloadLength);
        reply[8] = 1;
        reply[18] = static_cast<uint8_t>(payloadLength >> 8);
        reply[19] = static_cast<uint8_t>(payloadLength);
        std::memcpy(reply + 20, payload, payloadLength);
      }
      offset += length;
    }
    in.erase(in.begin(), in.begin() + static_cast<long>(offset));
    if (!out.empty() && delayMicroseconds > 0) std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds));
    if (!out.empty() && !sendAll(fd, out.data(), out.size())) break;
  }
  ::close(fd);
}

// Runs the device in a child process (forked before any thread starts) and
// returns its port; the child ends with its parent.
uint16_t startDevice(int delayMicroseconds) {
  int ports[2];
  if (::pipe(ports) != 0) std::exit(1);
  if (::fork() == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    uint16_t port = 0;
    const int listenFd = listenLoopback(port);
    if (::write(ports[1], &port, sizeof port) != sizeof port) std::_Exit(1);
    for (;;) {
      const int connection = ::accept(listenFd, nullptr, nullptr);
      if (connection < 0) std::_Exit(0);
      std::thread(serveConnection, connection, delayMicroseconds).detach();
    }
  }
  uint16_t port = 0;
  if (::read(ports[0], &port, sizeof port) != sizeof port) std::exit(1);
  ::close(ports[0]);
  ::close(ports[1]);
  return port;
}

void writeRequestFrame(uint8_t* frame, uint8_t transactionId) {
  std::memset(frame, 0, kFrame);
  frame[0] = 3;
  frame[3] = kFrame;
  frame[4] = 0x0A;
  frame[5] = 0x37;
  frame[6] = 0x0C;
  frame[7] = 0x31;
  frame[9] = transactionId;
  frame[19] = kPayload;
}

// The client process's resources, all threads.
struct Usage {
  double cpuSeconds;
  long contextSwitches;
};

Usage usageNow() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return {cpuSeconds(usage), usage.ru_nvcsw + usage.ru_nivcsw};
}

struct Latency {
  double p50;
  double p99;
  double cpuMicrosecondsPerRound;
  double switchesPerRound;
};

Latency summarise(std::vector<double>& microseconds, const Usage& before, int rounds) {
  std::sort(microseconds.begin(), microseconds.end());
  const Usage after = usageNow();
  return {microseconds[microseconds.size() / 2], microseconds[microseconds.size() * 99 / 100],
          (after.cpuSeconds - before.cpuSeconds) * 1e6 / rounds,
          static_cast<double>(after.contextSwitches - before.contextSwitches) / rounds};
}

// The floor: one blocking client socket, one 40-byte frame each way.
Latency rawPingPong(int fd, int rounds) {
  uint8_t frame[kFrame];
  writeRequestFrame(frame, 0);
  uint8_t reply[kFrame];
  std::vector<double> times;
  const int warmUp = rounds / 10;
  Usage before{};
  for (int i = 0; i < rounds + warmUp; ++i) {
    if (i == warmUp) before = usageNow();
    const auto start = Clock::now();
    sendAll(fd, frame, sizeof frame);
    size_t have = 0;
    while (have < sizeof reply) {
      const ssize_t got = ::recv(fd, reply + have, sizeof reply - have, 0);
      if (got <= 0) std::exit(1);
      have += static_cast<size_t>(got);
    }
    if (i >= warmUp) times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return summarise(times, before, rounds);
}

Latency synchronousRequests(zelkit::ZelClient& client, int rounds) {
  std::vector<double> times;
  const int warmUp = rounds / 10;
  Usage before{};
  for (int i = 0; i < rounds + warmUp; ++i) {
    if (i == warmUp) before = usageNow();
    zelkit::ZelOutputStream payload;
    for (int b = 0; b < kPayload; ++b) payload.writeOctet(static_cast<unsigned char>(b));
    zelkit::ZelInputStream response;
    const auto start = Clock::now();
    client.sendRequest(5000, kCommand, payload, response);
    response.wait();
    if (i >= warmUp) times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return summarise(times, before, rounds);
}

struct Throughput {
  double requestsPerSecond;
  double cpuMicrosecondsPerRequest;
};

Throughput measure(const std::atomic<long>& completed, double seconds) {
  const long before = completed.load();
  const Usage usageBefore = usageNow();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const long done = completed.load() - before;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const Usage usageAfter = usageNow();
  return {static_cast<double>(done) / elapsed,
          done > 0 ? (usageAfter.cpuSeconds - usageBefore.cpuSeconds) * 1e6 / static_cast<double>(done) : 0};
}

// The anchor: one thread, busy-polling epoll over all connections; each
// read's replies are answered with as many new requests in one send.
class EpollClient {
 public:
  EpollClient(uint16_t port, int connections) : epoll_(::epoll_create1(0)) {
    for (int i = 0; i < kWindow; ++i) writeRequestFrame(&requests_[static_cast<size_t>(i) * kFrame], static_cast<uint8_t>(i));
    for (int c = 0; c < connections; ++c) {
      Peer peer;
      peer.fd = connectTo(port);
      peers_.push_back(peer);
    }
    for (size_t c = 0; c < peers_.size(); ++c) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = c;
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, peers_[c].fd, &event);
    }
  }
  ~EpollClient() {
    for (const Peer& peer : peers_) ::close(peer.fd);
    ::close(epoll_);
  }

  void run(const std::atomic<bool>& running) {
    for (Peer& peer : peers_) queueRequests(peer, kWindow);
    epoll_event events[256];
    std::vector<uint8_t> buffer(1 << 16);
    while (running.load(std::memory_order_relaxed)) {
      for (Peer& peer : peers_) flush(peer);
      const int count = ::epoll_wait(epoll_, events, 256, 0);
      for (int i = 0; i < count; ++i) {
        Peer& peer = peers_[events[i].data.u64];
        const ssize_t got = ::recv(peer.fd, buffer.data() + peer.partial, buffer.size() - peer.partial, MSG_DONTWAIT);
        if (got <= 0) continue;
        // Replies are all 40 bytes: count whole ones, keep a split one.
        const size_t have = peer.partial + static_cast<size_t>(got);
        const int replies = static_cast<int>(have / kFrame);
        peer.partial = have % kFrame;
        std::memmove(buffer.data(), buffer.data() + have - peer.partial, peer.partial);
        completed.fetch_add(replies, std::memory_order_relaxed);
        queueRequests(peer, replies);
      }
    }
  }

  std::atomic<long> completed{0};

 private:
  struct Peer {
    int fd = -1;
    size_t partial = 0;
    size_t unsentOffset = 0;
    std::vector<uint8_t> unsent;
  };

  void queueRequests(Peer& peer, int count) {
    while (count > 0) {
      const int now = std::min(count, kWindow);
      peer.unsent.insert(peer.unsent.end(), requests_, requests_ + static_cast<size_t>(now) * kFrame);
      count -= now;
    }
  }
  void flush(Peer& peer) {
    if (peer.unsentOffset == peer.unsent.size()) return;
    const ssize_t sent = ::send(peer.fd, peer.unsent.data() + peer.unsentOffset,
                                peer.unsent.size() - peer.unsentOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) peer.unsentOffset += static_cast<size_t>(sent);
    if (peer.unsentOffset == peer.unsent.size()) {
      peer.unsent.clear();
      peer.unsentOffset = 0;
    }
  }

  int epoll_;
  std::vector<Peer> peers_;
  uint8_t requests_[kWindow * kFrame];
};

Throughput epollRate(uint16_t port, int connections, double seconds) {
  EpollClient client(port, connections);
  std::atomic<bool> running{true};
  std::thread poller([&] { client.run(running); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // warm up
  const Throughput result = measure(client.completed, seconds);
  running = false;
  poller.join();
  return result;
}

std::string deviceUrl(uint16_t port, int path) {
  return "zelp://HookOn1@127.0.0.1:" + std::to_string(port) + "/" + std::to_string(path);
}

// Opened, registered with one request answered, then left alone.
std::unique_ptr<zelkit::ZelClient> openClient(uint16_t port, int path) {
  auto client = std::make_unique<zelkit::ZelClient>(deviceUrl(port, path).c_str(), 0, 0);
  zelkit::ZelInputStream response;
  client->sendRequest(5000, kCommand, response);
  response.wait();
  return client;
}

// Each reply sends the next request, so every connection keeps its window full.
struct Pipeline {
  zelkit::ZelClient* client;
  std::atomic<bool>* running;
  std::atomic<long>* completed;
  std::atomic<int> outstanding{0};

  void send() {
    zelkit::ZelOutputStream payload;
    for (int b = 0; b < kPayload; ++b) payload.writeOctet(static_cast<unsigned char>(b));
    outstanding.fetch_add(1);
    client->sendRequest(5000, kCommand, payload, onReply, this);
  }
  static void onReply(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
    auto* self = static_cast<Pipeline*>(context);
    self->outstanding.fetch_sub(1);
    if (header.errorCode != 0) {
      std::fprintf(stderr, "request failed: 0x%x\n", header.errorCode);
      std::exit(1);
    }
    self->completed->fetch_add(1, std::memory_order_relaxed);
    if (self->running->load()) self->send();
  }
};

Throughput libraryRate(uint16_t port, int connections, double seconds, int& nextPath) {
  std::atomic<bool> running{true};
  std::atomic<long> completed{0};
  std::vector<std::unique_ptr<zelkit::ZelClient>> clients;
  std::vector<std::unique_ptr<Pipeline>> pipelines;
  for (int c = 0; c < connections; ++c) {
    clients.push_back(openClient(port, nextPath++));
    pipelines.push_back(std::make_unique<Pipeline>());
    pipelines.back()->client = clients.back().get();
    pipelines.back()->running = &running;
    pipelines.back()->completed = &completed;
  }
  for (auto& pipeline : pipelines)
    for (int i = 0; i < kWindow; ++i) pipeline->send();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // warm up
  const Throughput result = measure(completed, seconds);
  running = false;
  for (auto& pipeline : pipelines)
    while (pipeline->outstanding.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return result;
}

long heapInUse() { return static_cast<long>(::mallinfo2().uordblks); }

void idleConnectionMemory(uint16_t port, int& nextPath) {
  std::vector<std::unique_ptr<zelkit::ZelClient>> clients;
  const long residentBefore = residentBytes();
  const long heapBefore = heapInUse();
  for (int c = 0; c < kIdleConnections; ++c) clients.push_back(openClient(port, nextPath++));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double resident = static_cast<double>(residentBytes() - residentBefore) / kIdleConnections / 1024;
  const double heap = static_cast<double>(heapInUse() - heapBefore) / kIdleConnections / 1024;
  std::printf("idle logged-in connections (%d): resident %.2f KiB, heap in use %.2f KiB per connection\n",
              kIdleConnections, resident, heap);
}

constexpr int kSlowDeviceDelayMicroseconds = 1000;

void compareRoundTrips(const char* device, uint16_t port, zelkit::ZelClient& client, int rounds) {
  const int rawFd = connectTo(port);
  const Latency raw = rawPingPong(rawFd, rounds);
  ::close(rawFd);
  const Latency library = synchronousRequests(client, rounds);
  std::printf("  %s, %d round trips\n", device, rounds);
  auto line = [](const char* name, const Latency& latency) {
    std::printf("    %-14s p50 %7.1f us  p99 %7.1f us  CPU %6.2f us  %.2f cs\n", name, latency.p50, latency.p99,
                latency.cpuMicrosecondsPerRound, latency.switchesPerRound);
  };
  line("raw ping-pong", raw);
  line("library", library);
  std::printf("    ratio          p50 %.2f  p99 %.2f  CPU %.2f  (p50 %+.1f us)\n", library.p50 / raw.p50,
              library.p99 / raw.p99, library.cpuMicrosecondsPerRound / raw.cpuMicrosecondsPerRound,
              library.p50 - raw.p50);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  std::vector<int> connectionCounts;
  for (const char* list = argc > 4 ? argv[4] : "1,8,64,256"; *list != 0;) {
    char* end;
    connectionCounts.push_back(static_cast<int>(std::strtol(list, &end, 10)));
    list = *end == ',' ? end + 1 : end;
    if (end == list && *end != 0) break;
  }
  const uint16_t port = startDevice(0);
  const uint16_t slowPort = startDevice(kSlowDeviceDelayMicroseconds);
  int nextPath = 1;
  try {
    std::unique_ptr<zelkit::ZelClient> client = openClient(port, 0);  // the engine started
    if (rounds > 0) idleConnectionMemory(port, nextPath);
    if (rounds > 0) {
      std::unique_ptr<zelkit::ZelClient> slowClient = openClient(slowPort, 0);
      std::printf("synchronous 20-byte requests: p50, p99, client CPU per round trip, context switches per round trip\n");
      for (int r = 0; r < repeats; ++r) {
        compareRoundTrips("device answers at once", port, *client, rounds);
        compareRoundTrips("device answers after 1 ms", slowPort, *slowClient, std::max(1, rounds / 20));
      }
    }
    if (seconds <= 0) return 0;
    std::printf("pipelined requests, window %d per connection: requests/s (client CPU us per request)\n", kWindow);
    for (const int connections : connectionCounts) {
      for (int r = 0; r < repeats; ++r) {
        const Throughput anchor = epollRate(port, connections, seconds);
        const Throughput library = libraryRate(port, connections, seconds, nextPath);
        std::printf("  %3d connections  epoll %9.0f (%.2f)   library %9.0f (%.2f)   ratio %.3f\n", connections,
                    anchor.requestsPerSecond, anchor.cpuMicrosecondsPerRequest, library.requestsPerSecond,
                    library.cpuMicrosecondsPerRequest, library.requestsPerSecond / anchor.requestsPerSecond);
        std::fflush(stdout);
      }
    }
  } catch (zelkit::Exception* exception) {
    std::fprintf(stderr, "failed: %s\n", exception->what());
    return 1;
  }
  return 0;
}
