// Receive rate of one RtpStreamer UDP stream (without cipher and with the
// media counter mode) beside a plain recv loop on a UDP socket, all fed by
// the same sender of 1200-byte RTP packets on 127.0.0.1 in one run.
//
// Two runs per receiver: the sender as fast as it can (the receiver's
// rate), then paced at a fraction of the plain loop's rate (the loss there).
//
//   bench_rtp_receive [packets per run] [paced fraction of the plain rate]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "zelkit/rtp_streamer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPacketSize = 1200;
constexpr int kReceiveBuffer = 524288;  // what the streamer asks for on its video stream
constexpr auto kQuiet = std::chrono::milliseconds(300);

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
  socklen_t length = sizeof any;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length);
  ::close(fd);
  return ntohs(any.sin_port);
}

// Sends count packets to the port, as fast as it can (rate 0) or at the
// rate in packets per second, in bursts of 16. A sender that overslept
// does not catch up with a burst of its own: it goes on at the rate.
void sendPackets(uint16_t port, int count, double rate) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  uint8_t packet[kPacketSize] = {0x80, 96};
  const auto burst =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(rate > 0 ? 16 / rate : 0));
  auto due = Clock::now();
  for (int i = 0; i < count; ++i) {
    packet[2] = static_cast<uint8_t>(i >> 8);
    packet[3] = static_cast<uint8_t>(i);
    ::sendto(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (rate > 0 && i % 16 == 15) {
      due = std::max(due + burst, Clock::now() - burst);
      std::this_thread::sleep_until(due);
    }
  }
  ::close(fd);
}

// What one receiver saw in one run.
struct Tally {
  std::atomic<int> packets{0};
  Clock::time_point first;
  Clock::time_point last;
  double firstCpu = 0;
  double lastCpu = 0;

  void count() {
    const int seen = packets.fetch_add(1, std::memory_order_relaxed);
    last = Clock::now();
    lastCpu = threadCpuSeconds();
    if (seen == 0) {
      first = last;
      firstCpu = lastCpu;
    }
  }
  double rate() const {
    const double seconds = std::chrono::duration<double>(last - first).count();
    return seconds > 0 ? (packets - 1) / seconds : 0;
  }
  double cpuPerPacketUs() const { return packets > 1 ? (lastCpu - firstCpu) * 1e6 / (packets - 1) : 0; }
};

void report(const char* receiver, const char* mode, int sent, const Tally& tally) {
  std::printf("%-22s %-9s %8d sent %8d received (%5.1f%% lost) %10.0f packets/s %6.2f us CPU/packet\n", receiver, mode,
              sent, tally.packets.load(), 100.0 * (sent - tally.packets) / sent, tally.rate(), tally.cpuPerPacketUs());
}

// Waits until no packet arrived for a while.
void waitQuiet(const Tally& tally) {
  int before = -1;
  while (tally.packets != before) {
    before = tally.packets;
    std::this_thread::sleep_for(kQuiet);
  }
}

// A plain blocking recv loop on a UDP socket of the same receive buffer.
void runPlain(int count, double rate, Tally& tally) {
  const uint16_t port = freePort();
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
  // The time-out only lets the loop see the end of the run.
  const timeval wake{0, 50000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  std::atomic<bool> stop{false};
  std::thread receiver([&] {
    uint8_t buffer[1600];
    while (!stop) {
      if (::recv(fd, buffer, sizeof buffer, 0) >= 12) tally.count();
    }
  });
  sendPackets(port, count, rate);
  waitQuiet(tally);
  stop = true;
  receiver.join();
  ::close(fd);
}

void countPacket(void* context, zelkit::RtpPayloadType, unsigned char const*, int) {
  static_cast<Tally*>(context)->count();
}

void runStreamer(int count, double rate, bool cipher, Tally& tally) {
  const uint16_t port = freePort();
  zelkit::RtpStreamer streamer("zelp://127.0.0.1:9", 1);
  if (cipher) {
    uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    streamer.setEncryptionKey(zelkit::ChannelVideo, false, key, sizeof key);
  }
  const unsigned long addresses[] = {htonl(INADDR_LOOPBACK)};
  const unsigned short ports[] = {htons(port)};
  streamer.connectStream(0, addresses, ports, 1);
  streamer.registerReceiverCallback(false, countPacket, &tally);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sendPackets(port, count, rate);
  waitQuiet(tally);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 200000;
  const double fraction = argc > 2 ? std::atof(argv[2]) : 0.7;

  Tally plainFast;
  runPlain(count, 0, plainFast);
  report("plain recv loop", "flat out", count, plainFast);
  const double paced = plainFast.rate() * fraction;
  std::printf("paced runs: %.0f packets/s (%.2f of the plain loop's rate)\n", paced, fraction);

  Tally plainPaced;
  runPlain(count, paced, plainPaced);
  report("plain recv loop", "paced", count, plainPaced);
  for (bool cipher : {false, true}) {
    const char* name = cipher ? "RtpStreamer, cipher" : "RtpStreamer";
    Tally fast;
    runStreamer(count, 0, cipher, fast);
    report(name, "flat out", count, fast);
    Tally slow;
    runStreamer(count, paced, cipher, slow);
    report(name, "paced", count, slow);
    std::printf("%-22s rate %.2f of the plain loop's\n", name, fast.rate() / plainFast.rate());
  }
  return 0;
}
