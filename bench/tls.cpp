// The TLS engine beside OpenSSL, with a 2048-bit server key:
// - handshakes per second, full and resumed, of our server with our client
//   in memory;
// - openssl s_time -new / -reuse against openssl s_server and against our
//   server (over 127.0.0.1), from s_time's "N connections in T real
//   seconds" line;
// - record throughput (AES-128-CBC + HMAC-SHA1, 16 KiB records), sealing
//   and opening, beside openssl speed -evp aes-128-cbc-hmac-sha1 (with
//   -decrypt for opening), with the processor's AES and SHA instructions
//   and with the portable code, ours and openssl's in turns;
// - the server's RSA private operation.
//
//   bench_tls [seconds per run, default 5] [records: record throughput only]

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/cpu_features.h"
#include "security/rsa/random.h"
#include "security/rsa/rsa.h"
#include "security/tls/ssl_context.h"
#include "security/tls/ssl_server_credentials.h"
#include "security/x509/pem.h"
#include "security/x509/server_keys.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "support/tls_memory_link.h"
#include "support/tls_socket_link.h"

namespace {

using namespace zelkit;
using namespace zelkit::detail;
using Clock = std::chrono::steady_clock;

const std::string kCipher = "AES128-SHA:@SECLEVEL=0";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string shell(const std::string& command) {
  const auto out = test::runTool(command);
  return out ? std::string(out->begin(), out->end()) : std::string();
}

// A 2048-bit key and certificate in a temporary directory, stored in the
// key table before the first context reads it.
struct Credentials {
  std::string directory;
  std::string key;
  std::string certificate;

  bool make() {
    char pattern[] = "/tmp/zelkit-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return false;
    directory = pattern;
    key = directory + "/key.pem";
    certificate = directory + "/cert.pem";
    if (!test::runTool("openssl genrsa -traditional -out " + key + " 2048 2>/dev/null")) return false;
    if (!test::runTool("openssl req -x509 -key " + key + " -subj /CN=bench -days 2 -out " + certificate)) return false;
    return store(SslPrivateKey, "openssl rsa -traditional -outform DER -in " + key + " 2>/dev/null") &&
           store(SslCertificate, "openssl x509 -outform DER -in " + certificate);
  }
  static bool store(SslKeyIndex index, const std::string& command) {
    const auto der = test::runTool(command);
    if (!der) return false;
    sslKeyTable[index].data = new uint8_t[der->size()];
    std::copy(der->begin(), der->end(), sslKeyTable[index].data);
    sslKeyTable[index].length = static_cast<int32_t>(der->size());
    return true;
  }
  ~Credentials() {
    std::error_code ignored;
    if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
  }
};

double handshakesPerSecond(double seconds, uint64_t peerKey) {
  if (peerKey != 0) test::MemoryPair first(peerKey);
  int count = 0;
  const auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    test::MemoryPair pair(peerKey);
    if (pair.result != 1 || (peerKey != 0 && pair.server.ctx->resume == 0)) return -1;
    ++count;
  }
  return count / secondsSince(start);
}

// Seconds of processor time this thread has used. openssl speed counts its
// own processor time too, so that the record figures are compared alike on
// a machine where other work takes turns on the core.
double threadSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The transport of the record figures after the handshake: one flat
// buffer that the write callback copies records into and the read callback
// copies them out of, one copy each way, as a socket would cost.
struct FlatTransport {
  std::vector<char> bytes;
  size_t filled = 0;
  size_t read = 0;

  static int write(char* data, int length, int, void* user) {
    auto* transport = static_cast<FlatTransport*>(user);
    const size_t size = static_cast<size_t>(length);
    if (transport->filled + size > transport->bytes.size()) transport->filled = 0;  // only counted
    std::memcpy(transport->bytes.data() + transport->filled, data, size);
    transport->filled += size;
    return length;
  }
  static int readBack(char* data, int length, int, void* user) {
    auto* transport = static_cast<FlatTransport*>(user);
    const size_t count = std::min(static_cast<size_t>(length), transport->filled - transport->read);
    std::memcpy(data, transport->bytes.data() + transport->read, count);
    transport->read += count;
    return static_cast<int>(count);
  }
  void attach(SslContext* writer, SslContext* reader) {
    writer->writeCallback = write;
    writer->user = this;
    if (reader != nullptr) {
      reader->readCallback = readBack;
      reader->user = this;
    }
  }
};

// MB/s of processor time of sealing 16 KiB records, and of opening them;
// a figure stays 0 when a record fails.
void recordThroughput(double seconds, double* seal, double* open) {
  *seal = *open = 0;
  std::vector<char> data(16384, 'x');
  {
    test::MemoryPair pair;
    FlatTransport transport;
    transport.bytes.resize(64 * 16500);
    transport.attach(pair.client.ctx, nullptr);
    long long bytes = 0;
    const double cpuStart = threadSeconds();
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
      for (int i = 0; i < 64; ++i) {
        if (sslWrite(pair.client.ctx, data.data(), 16384, 0) != 16384) return;
        bytes += 16384;
      }
    }
    *seal = bytes / (threadSeconds() - cpuStart) / 1e6;
  }
  // Records made first, then opened in order.
  test::MemoryPair pair;
  const int records = 2048;
  FlatTransport transport;
  transport.bytes.resize(records * 16500);
  transport.attach(pair.client.ctx, pair.server.ctx);
  for (int i = 0; i < records; ++i) sslWrite(pair.client.ctx, data.data(), 16384, 0);
  long long bytes = 0;
  const double cpuStart = threadSeconds();
  for (int i = 0; i < records; ++i) {
    if (sslRead(pair.server.ctx, data.data(), 16384, 0) != 16384) return;
    bytes += 16384;
  }
  *open = bytes / (threadSeconds() - cpuStart) / 1e6;
}

// MB/s of processor time of the record functions alone: each 16 KiB
// record sealed in place by the client's cipher state and opened by the
// server's, timed apart.
void recordFunctionThroughput(double seconds, double* seal, double* open) {
  test::MemoryPair pair;
  SslCipherState& sealer = pair.client.ctx->cipher;
  SslCipherState& opener = pair.server.ctx->cipher;
  sealer.recordType = opener.recordType = 23;
  std::vector<uint8_t> record(16384 + 64, 'x');
  double sealing = 0;
  double opening = 0;
  long long bytes = 0;
  const auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    for (int i = 0; i < 64; ++i) {
      const double before = threadSeconds();
      const int sealed = sealer.protect(record.data(), 16384, static_cast<int>(record.size()), &sealer);
      const double between = threadSeconds();
      const int opened = opener.open(record.data(), sealed, sealed, &opener);
      opening += threadSeconds() - between;
      sealing += between - before;
      if (opened != 16384) return;
      bytes += 16384;
    }
  }
  *seal = bytes / sealing / 1e6;
  *open = bytes / opening / 1e6;
}

double rsaMilliseconds(double seconds) {
  const KeyRecord* key = &sslServerCredentials().privateKey;
  uint8_t bytes[256];
  randomBytes(bytes, sizeof bytes);
  bytes[0] = 0;
  BigNum input;
  BigNum output;
  bigNumFromBytes(&input, bytes, sizeof bytes, true);
  int count = 0;
  const auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    rsaPrivateOperation(key, &input, &output);
    ++count;
  }
  return 1000 * secondsSince(start) / count;
}

// Connections per real second from s_time's "N connections in T real
// seconds" line (its other summary line counts per user second).
double sTime(uint16_t port, const char* mode, int seconds) {
  const std::string output =
      shell("openssl s_time -connect 127.0.0.1:" + std::to_string(port) + " " + mode + " -tls1 -cipher '" + kCipher +
            "' -time " + std::to_string(seconds) + " 2>&1");
  const size_t at = output.find(" real seconds");
  if (at == std::string::npos) return -1;
  const size_t start = output.rfind('\n', at) + 1;  // npos + 1 is 0
  long connections = 0;
  long realSeconds = 0;
  if (std::sscanf(output.c_str() + start, "%ld connections in %ld real seconds", &connections, &realSeconds) != 2 ||
      realSeconds <= 0) {
    return -1;
  }
  return static_cast<double>(connections) / static_cast<double>(realSeconds);
}

// Our server on a thread, one connection after the other, until stopped.
class Server {
 public:
  Server() : thread_([this] { run(); }) {}
  ~Server() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_.port(); }
  // Handshakes completed so far, and how many of them resumed a session.
  long handshakes() const { return handshakes_; }
  long resumed() const { return resumed_; }

 private:
  void run() {
    while (!stop_) {
      const int socket = listener_.accept(200);
      if (socket < 0) continue;
      test::SocketEnd end(socket);
      if (test::serverHandshake(end) != 1) continue;
      ++handshakes_;
      if (end.ctx->resume != 0) ++resumed_;
      test::readUntilClosed(end);
    }
  }
  test::LoopbackListener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<long> handshakes_{0};
  std::atomic<long> resumed_{0};
  std::thread thread_;
};

void printRatio(const char* what, double ours, double theirs, const char* unit) {
  std::printf("%-34s zelkit %9.1f %s   openssl %9.1f %s   ratio %.2f\n", what, ours, unit, theirs, unit,
              theirs > 0 ? ours / theirs : 0.0);
}

// MB/s of openssl speed for the record cipher, 16 KiB at a time.
double opensslRecordSpeed(int seconds, const char* direction) {
  const std::string speed = shell("openssl speed -seconds " + std::to_string(seconds) + " -bytes 16384 " + direction +
                                  " -evp aes-128-cbc-hmac-sha1 2>/dev/null");
  // "AES-128-CBC-HMAC-SHA1  1184991.42k": thousands of bytes per second.
  const size_t row = speed.rfind("AES-128-CBC-HMAC-SHA1");
  return row == std::string::npos ? -1 : std::strtod(speed.c_str() + row + 21, nullptr) / 1000;
}

// Ours and openssl's take turns, and the best run of each counts: on a
// machine shared with other work the best run is the least disturbed one,
// and turns keep a change in that work from favouring one side.
void compareRecords(int seconds) {
  constexpr int kTurns = 3;
  double seal = 0;
  double open = 0;
  double opensslSeal = 0;
  double opensslOpen = 0;
  for (int turn = 0; turn < kTurns; ++turn) {
    double sealed = 0;
    double opened = 0;
    recordThroughput(seconds, &sealed, &opened);
    seal = std::max(seal, sealed);
    open = std::max(open, opened);
    opensslSeal = std::max(opensslSeal, opensslRecordSpeed(seconds, ""));
    opensslOpen = std::max(opensslOpen, opensslRecordSpeed(seconds, "-decrypt"));
  }
  std::printf("best of %d turns each:\n", kTurns);
  printRatio("records sealed, 16 KiB", seal, opensslSeal, "MB/s");
  printRatio("records opened, 16 KiB", open, opensslOpen, "MB/s");
  recordFunctionThroughput(seconds, &seal, &open);
  std::printf("record functions alone: sealed %.1f MB/s, opened %.1f MB/s\n", seal, open);
  platform::cpuUseInstructionExtensions(false);
  recordThroughput(seconds, &seal, &open);
  platform::cpuUseInstructionExtensions(true);
  std::printf("portable code: sealed %.1f MB/s, opened %.1f MB/s\n", seal, open);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  const bool recordsOnly = argc > 2 && std::string(argv[2]) == "records";
  Credentials credentials;
  if (!test::toolAvailable("openssl") || !credentials.make()) {
    std::printf("needs openssl to make a 2048-bit key and certificate\n");
    return 1;
  }
  if (recordsOnly) {
    compareRecords(seconds);
    return 0;
  }

  const double full = handshakesPerSecond(seconds, 0);
  const double resumed = handshakesPerSecond(seconds, 0x5EED);
  std::printf("in memory, our client and server:  full %8.1f /s   resumed %8.1f /s\n", full, resumed);
  std::printf("RSA-2048 private operation:         %.3f ms\n", rsaMilliseconds(seconds));
  compareRecords(seconds);

  // Quiet, so that its output cannot fill the pipe; it says nothing about
  // its port then, so a free one is chosen first.
  const uint16_t opensslPort = test::freeLoopbackPort();
  zeltest::BackgroundProcess opensslServer({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(opensslPort),
                                            "-tls1", "-cipher", kCipher, "-key", credentials.key, "-cert",
                                            credentials.certificate, "-quiet"});
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int probe = test::connectLoopback(opensslPort);
    if (probe >= 0) {
      ::close(probe);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  Server ours;
  for (const char* mode : {"-new", "-reuse"}) {
    const long handshakes = ours.handshakes();
    const long resumed = ours.resumed();
    const double zelkitRate = sTime(ours.port(), mode, seconds);
    const double opensslRate = sTime(opensslPort, mode, seconds);
    printRatio((std::string("s_time ") + mode + ", connections").c_str(), zelkitRate, opensslRate, "/s");
    std::printf("  our server: %ld handshakes, %ld of them resumed\n", ours.handshakes() - handshakes,
                ours.resumed() - resumed);
  }
  return 0;
}
