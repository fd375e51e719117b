#pragma once

// Helpers of the server tests: a server whose sessions record their logins,
// started on a fresh port, and bounded waiting.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/lock.h"
#include "support/echo_handler.h"
#include "support/raw_client.h"
#include "support/wire_codec.h"
#include "zelkit/server.h"

namespace servertest {

using namespace std::chrono_literals;
using zeltest::Bytes;
using zeltest::echoPayload;

inline bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout = 5s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The process's resident size, and the bytes its heap has handed out and
// not yet taken back (the sanitizers' allocator's count in their builds).
long residentBytes();
long heapBytesInUse();

// The highest value of a measure seen while it runs, sampled every 2 ms.
class PeakSampler {
 public:
  explicit PeakSampler(std::function<long()> measure);
  ~PeakSampler() { finish(); }
  PeakSampler(const PeakSampler&) = delete;
  PeakSampler& operator=(const PeakSampler&) = delete;
  long finish();

 private:
  std::function<long()> measure_;
  std::atomic<bool> stop_{false};
  std::atomic<long> peak_;
  std::thread sampler_;
};

// What onLogin was given.
struct LoginCall {
  std::string user;
  std::optional<std::string> password;
};

// The sessions of TestServer: onLogin records its arguments and grants the
// level set here, or, with a password set, checks it.
struct LoginScript {
  std::mutex mutex;
  std::vector<LoginCall> calls;
  int result = 2;
  std::optional<std::string> password;  // checked with checkAuthentication when set

  std::vector<LoginCall> recorded() {
    std::lock_guard<std::mutex> guard(mutex);
    return calls;
  }
};
LoginScript& loginScript();

class TestSession : public zelkit::ZelSession {
 public:
  int onLogin(const zelkit::ZelHeader& header, const char* user, const char* password) override;
  using ZelSession::checkAuthentication;
  using ZelSession::getConnection;
  using ZelSession::setTimeout;
  using ZelSession::setTransferMode;
};

class TestServer : public zelkit::ZelServer {
 public:
  // The worker reads the server under the library lock; taking it here
  // orders those reads before the destruction.
  ~TestServer() { zelkit::detail::GlobalLock lock; }
  zelkit::ZelSession* createSession() override { return new TestSession(); }
  uint32_t responseTimeout() const { return responseTimeoutMs_; }
  void setResponseTimeout(uint32_t milliseconds) {
    zelkit::detail::GlobalLock lock;
    responseTimeoutMs_ = milliseconds;
  }
};

// Sessions that take every HTTP request head with 200.
class HttpPostSession : public TestSession {
 public:
  int onHttpHeader(int, const char**, int) override { return 200; }
};

class HttpPostServer : public TestServer {
 public:
  zelkit::ZelSession* createSession() override { return new HttpPostSession(); }
};

// CMD_REGISTER payload: credential word, split mode, text length, message
// ids, text.
Bytes registerPayload(uint32_t credentialWord, uint8_t splitMode, uint8_t textLength, const std::string& text,
                      const std::vector<uint16_t>& ids = {0xFF03});

constexpr uint32_t kCmdRegister = 0xFF000C31;
constexpr uint32_t kCmdRegisterState = 0xFF000C30;
constexpr uint32_t kCmdLoginChallenge = 0xFF050C30;
constexpr uint32_t kCmdConnectPrimitive = 0xFF0C0C31;
constexpr uint32_t kCmdDisconnectPrimitive = 0xFF0D0C31;
constexpr uint32_t kCmdStreamList = 0xFFC10C30;
constexpr uint32_t kCmdKeepAlive = 0xFFC20830;

// The session of the accepted connection whose peer is the client (waits
// for the accept); empty when there is none.
zelkit::ZelSessionRef sessionOf(zelkit::ZelServer& server, const zeltest::RawClient& client);

// Logs a raw client in with plain credentials at the given level.
bool rawLogin(zeltest::RawClient& client, int level);

}  // namespace servertest
