#include "security/tls_connection/tls_device_util.h"

#include <stdexcept>

namespace tlstest {

PythonDevice::PythonDevice(uint16_t port) {
  process_ = std::make_unique<zeltest::BackgroundProcess>(std::vector<std::string>{
      "python3", zeltest::tlsPeerScript(), "device", "--cert", credentials_.certificatePath, "--key",
      credentials_.keyPath, "--port", std::to_string(port), "--user", "u", "--password", "pw"});
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

}  // namespace tlstest
