// Round trips and throughput of requests through the library, against a
// minimal device on plain blocking sockets (one thread per connection, its
// own framing), beside a raw ping-pong of the same frames as the floor.
//
//   bench_round_trip [round trips] [seconds per throughput run, 0: none]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kRegister = 0xFF000C31;
constexpr int kPayload = 20;
constexpr int kWindow = 200;  // outstanding requests per connection when pipelining

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t read32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

bool sendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The device: every request is answered with its own payload; Register gets
// result 1, privilege 3, client id 1. All replies to what one read brought
// go out in one send.
void serveConnection(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  std::vector<uint8_t> in;
  std::vector<uint8_t> out;
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    in.insert(in.end(), buffer, buffer + got);
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
    if (!out.empty() && !sendAll(fd, out.data(), out.size())) break;
  }
  ::close(fd);
}

class Device {
 public:
  Device() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listenFd_, 64);
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    std::thread([fd = listenFd_] {
      for (;;) {
        const int connection = ::accept(fd, nullptr, nullptr);
        if (connection < 0) return;
        std::thread(serveConnection, connection).detach();
      }
    }).detach();
  }
  uint16_t port() const { return port_; }

 private:
  int listenFd_;
  uint16_t port_;
};

struct Percentiles {
  double p50;
  double p99;
};

Percentiles percentiles(std::vector<double>& microseconds) {
  std::sort(microseconds.begin(), microseconds.end());
  return {microseconds[microseconds.size() / 2], microseconds[microseconds.size() * 99 / 100]};
}

// The floor: one blocking client socket, one 40-byte frame each way.
Percentiles rawPingPong(const Device& device, int rounds) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(device.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::exit(1);
  uint8_t frame[20 + kPayload] = {3, 0, 0, 20 + kPayload};
  frame[4] = 0x0A;
  frame[5] = 0x37;
  frame[6] = 0x0C;
  frame[7] = 0x31;
  frame[19] = kPayload;
  uint8_t reply[sizeof frame];
  std::vector<double> times;
  for (int i = 0; i < rounds + rounds / 10; ++i) {
    const auto start = Clock::now();
    sendAll(fd, frame, sizeof frame);
    size_t have = 0;
    while (have < sizeof reply) {
      const ssize_t got = ::recv(fd, reply + have, sizeof reply - have, 0);
      if (got <= 0) std::exit(1);
      have += static_cast<size_t>(got);
    }
    if (i >= rounds / 10) times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  ::close(fd);
  return percentiles(times);
}

Percentiles synchronousRequests(zelkit::ZelClient& client, int rounds) {
  std::vector<double> times;
  for (int i = 0; i < rounds + rounds / 10; ++i) {
    zelkit::ZelOutputStream payload;
    for (int b = 0; b < kPayload; ++b) payload.writeOctet(static_cast<unsigned char>(b));
    zelkit::ZelInputStream response;
    const auto start = Clock::now();
    client.sendRequest(5000, kCommand, payload, response);
    response.wait();
    if (i >= rounds / 10) times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return percentiles(times);
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

double pipelinedRate(const Device& device, int connections, double seconds, int firstPath) {
  std::atomic<bool> running{true};
  std::atomic<long> completed{0};
  std::vector<std::unique_ptr<zelkit::ZelClient>> clients;
  std::vector<std::unique_ptr<Pipeline>> pipelines;
  for (int c = 0; c < connections; ++c) {
    const std::string url =
        "zelp://HookOn1@127.0.0.1:" + std::to_string(device.port()) + "/" + std::to_string(firstPath + c);
    clients.push_back(std::make_unique<zelkit::ZelClient>(url.c_str(), 0, 0));
    zelkit::ZelInputStream response;
    clients.back()->sendRequest(5000, kCommand, response);  // connected and registered
    response.wait();
    pipelines.push_back(std::make_unique<Pipeline>());
    pipelines.back()->client = clients.back().get();
    pipelines.back()->running = &running;
    pipelines.back()->completed = &completed;
  }
  for (auto& pipeline : pipelines)
    for (int i = 0; i < kWindow; ++i) pipeline->send();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // warm up
  const long before = completed.load();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const long done = completed.load() - before;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  running = false;
  for (auto& pipeline : pipelines)
    while (pipeline->outstanding.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return static_cast<double>(done) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  Device device;
  try {
    const Percentiles raw = rawPingPong(device, rounds);
    zelkit::ZelClient client(("zelp://HookOn1@127.0.0.1:" + std::to_string(device.port())).c_str(), 0, 0);
    const Percentiles library = synchronousRequests(client, rounds);
    std::printf("synchronous 20-byte requests, %d round trips\n", rounds);
    std::printf("  raw ping-pong     p50 %7.1f us   p99 %7.1f us\n", raw.p50, raw.p99);
    std::printf("  library           p50 %7.1f us   p99 %7.1f us   (p50 %.2fx the floor)\n", library.p50, library.p99,
                library.p50 / raw.p50);
    if (seconds <= 0) return 0;
    const double one = pipelinedRate(device, 1, seconds, 100);
    const double eight = pipelinedRate(device, 8, seconds, 200);
    std::printf("pipelined asynchronous requests, window %d per connection\n", kWindow);
    std::printf("  1 connection      %9.0f requests/s\n", one);
    std::printf("  8 connections     %9.0f requests/s\n", eight);
  } catch (zelkit::Exception* exception) {
    std::fprintf(stderr, "failed: %s\n", exception->what());
    return 1;
  }
  return 0;
}
