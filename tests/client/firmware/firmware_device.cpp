#include "client/firmware/firmware_device.h"

#include <sstream>
#include <stdexcept>

namespace fwtest {

namespace {

std::string script() { return std::string(ZELKIT_SOURCE_DIR) + "/tests/client/firmware/firmware_device.py"; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

std::string percentDecode(const std::string& text) {
  std::string out;
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

Post parsePost(const std::string& fields) {
  Post post;
  std::istringstream in(fields);
  std::string field;
  while (in >> field) {
    const auto equals = field.find('=');
    post[field.substr(0, equals)] = percentDecode(field.substr(equals + 1));
  }
  return post;
}

}  // namespace

FirmwareDevice::FirmwareDevice(const DeviceOptions& options) : options_(options) {
  std::vector<std::string> argv = {
      "python3",    script(),   "--address",    options.address, "--kind",
      options.kind, "--answer", options.answer, "--hold",        std::to_string(options.hold)};
  for (const uint16_t port : options.ports) {
    argv.push_back("--port");
    argv.push_back(std::to_string(port));
  }
  if (!options.certificatePath.empty()) {
    argv.insert(argv.end(), {"--cert", options.certificatePath, "--key", options.keyPath});
  }
  process_ = std::make_unique<zeltest::BackgroundProcess>(argv);
  for (size_t i = 0; i < options.ports.size(); ++i) {
    const auto line = process_->waitForLine("LISTENING ", 10s);
    if (!line) throw std::runtime_error("firmware_device.py did not start: " + process_->output());
    ports_.push_back(static_cast<uint16_t>(std::stoi(line->substr(line->find(' ') + 1))));
  }
}

std::string FirmwareDevice::url(const std::string& scheme, const std::string& userInfo, size_t portIndex) const {
  const bool ipv6 = options_.address.find(':') != std::string::npos;
  const std::string host = ipv6 ? "[" + options_.address + "]" : options_.address;
  return scheme + "://" + userInfo + host + ":" + std::to_string(ports_.at(portIndex));
}

std::optional<Post> FirmwareDevice::nextPost(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string& output = process_->output();
    std::string::size_type lineEnd;
    while ((lineEnd = output.find('\n', postCursor_)) != std::string::npos) {
      const std::string line = output.substr(postCursor_, lineEnd - postCursor_);
      postCursor_ = lineEnd + 1;
      if (line.rfind("POST ", 0) == 0) return parsePost(line.substr(5));
    }
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    process_->waitForExit(50ms);  // reads what comes meanwhile
  }
}

std::vector<std::string> FirmwareDevice::kindQueries() {
  process_->waitForExit(100ms);  // reads what has come
  std::vector<std::string> ports;
  std::istringstream lines(process_->output());
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind("KIND ", 0) == 0) ports.push_back(line.substr(5));
  return ports;
}

}  // namespace fwtest
