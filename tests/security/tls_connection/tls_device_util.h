#pragma once

// The TLS peers of the tests of https:// connections.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/background_process.h"
#include "support/tls_credentials.h"

namespace tlstest {

using namespace std::chrono_literals;

inline constexpr char kCipher[] = "AES128-SHA:@SECLEVEL=0";

// Tags tls_peer.py's device answers in its own ways.
inline constexpr uint32_t kTagEcho = 0x0A010C31;
inline constexpr uint32_t kTagPair = 0x0A020C31;
inline constexpr uint32_t kTagPush = 0x0A030C31;
inline constexpr uint32_t kTagBadTpkt = 0x0A040C31;
inline constexpr uint32_t kTagCloseNotify = 0x0A050C31;
inline constexpr uint32_t kTagMessage = 0x0A060030;
inline constexpr uint32_t kTagShortTpkt = 0x0A070C31;
inline constexpr uint32_t kTagSplit = 0x0A090C31;

// tls_peer.py's device with fresh credentials, listening.
class PythonDevice {
 public:
  // port 0: one of the system's choice; options are tls_peer.py's device
  // options beyond the credentials, port and login.
  explicit PythonDevice(uint16_t port = 0, const std::vector<std::string>& options = {});
  uint16_t port() const { return port_; }
  zeltest::BackgroundProcess& process() { return *process_; }
  const zeltest::TlsCredentials& credentials() const { return credentials_; }
  // The output lines that begin with prefix, so far.
  std::vector<std::string> lines(const std::string& prefix);

 private:
  zeltest::TlsCredentials credentials_;
  std::unique_ptr<zeltest::BackgroundProcess> process_;
  uint16_t port_ = 0;
};

// openssl s_server on a port chosen first: with -quiet it prints no ACCEPT
// line, only the plaintext it receives.
class QuietServer {
 public:
  explicit QuietServer(const zeltest::TlsCredentials& credentials);
  uint16_t port() const { return port_; }
  bool received(const std::string& text, std::chrono::milliseconds timeout);

 private:
  uint16_t port_;
  std::unique_ptr<zeltest::BackgroundProcess> process_;
};

}  // namespace tlstest
