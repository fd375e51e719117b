#pragma once

// firmware_device.py beside a test: a device whose Zel service and web
// server share their ports, recording every firmware POST it receives.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/background_process.h"

namespace fwtest {

using namespace std::chrono_literals;

struct DeviceOptions {
  std::string kind = "0";             // first octet of the kind query's reply
  std::string answer = "ok";          // see firmware_device.py
  int hold = 0;                       // answer once this many bodies have arrived
  std::string address = "127.0.0.1";  // or "::1"
  std::vector<uint16_t> ports = {0};
  std::string certificatePath;  // with keyPath: everything inside TLS
  std::string keyPath;
};

// One recorded POST: the fields firmware_device.py prints, decoded.
using Post = std::map<std::string, std::string>;

class FirmwareDevice {
 public:
  explicit FirmwareDevice(const DeviceOptions& options = {});
  uint16_t port(size_t index = 0) const { return ports_.at(index); }
  // scheme://userInfo<address>:port of the port at portIndex (an IPv6
  // address in brackets)
  std::string url(const std::string& scheme = "zelp", const std::string& userInfo = "", size_t portIndex = 0) const;
  // The next POST, waiting up to the time-out.
  std::optional<Post> nextPost(std::chrono::milliseconds timeout = 20s);
  // The ports of the kind queries answered so far.
  std::vector<std::string> kindQueries();

 private:
  DeviceOptions options_;
  std::unique_ptr<zeltest::BackgroundProcess> process_;
  std::vector<uint16_t> ports_;
  std::string::size_type postCursor_ = 0;
};

}  // namespace fwtest
