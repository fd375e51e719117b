#include "security/tls_connection/tls_device_util.h"

#include <stdexcept>

#include "support/listening_port.h"
#include "support/tls_socket_link.h"

namespace tlstest {

PythonDevice::PythonDevice(uint16_t port, const std::vector<std::string>& options) {
  std::vector<std::string> argv{"python3", zeltest::tlsPeerScript(), "device", "--cert", credentials_.certificatePath,
                                "--key", credentials_.keyPath, "--port", std::to_string(port), "--user", "u",
                                "--password", "pw"};
  argv.insert(argv.end(), options.begin(), options.end());
  process_ = std::make_unique<zeltest::BackgroundProcess>(argv);
  const auto line = process_->waitForLine("LISTENING ", 10s);
  if (!line) throw std::runtime_error("the Python device did not start: " + process_->output());
  port_ = static_cast<uint16_t>(std::stoi(line->substr(line->find(' ') + 1)));
}

std::vector<std::string> PythonDevice::lines(const std::string& prefix) {
  process_->waitForLine("\x01", 100ms);  // reads what has come
  std::vector<std::string> found;
  std::string::size_type start = 0;
  const std::string& output = process_->output();
  while (start < output.size()) {
    std::string::size_type end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    const std::string line = output.substr(start, end - start);
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
    start = end + 1;
  }
  return found;
}

QuietServer::QuietServer(const zeltest::TlsCredentials& credentials) : port_(zelkit::test::freeLoopbackPort()) {
  process_ = std::make_unique<zeltest::BackgroundProcess>(std::vector<std::string>{
      "openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port_), "-tls1", "-cipher", kCipher, "-key",
      credentials.traditionalKeyPath, "-cert", credentials.certificatePath, "-quiet"});
  if (!zeltest::waitUntilListening(port_, 10s)) throw std::runtime_error("s_server: " + process_->output());
}

bool QuietServer::received(const std::string& text, std::chrono::milliseconds timeout) {
  return process_->waitForLine(text, timeout).has_value();
}

}  // namespace tlstest
