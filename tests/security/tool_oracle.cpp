#include "tool_oracle.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "security/pem.h"
#include "security/x509.h"

namespace zelkit::test {

bool haveProgram(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::optional<std::vector<uint8_t>> runCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::vector<uint8_t> output;
  uint8_t buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.insert(output.end(), buffer, buffer + got);
  if (pclose(pipe) != 0) return std::nullopt;
  return output;
}

std::string runText(const std::string& command) {
  const auto output = runCommand(command);
  if (!output) throw std::runtime_error("command failed: " + command);
  return std::string(output->begin(), output->end());
}

std::string dataPath(const std::string& name) { return std::string(ZELKIT_TEST_DATA_DIR) + "/" + name; }

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::string readText(const std::string& path) {
  const std::vector<uint8_t> bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

ScratchDir::ScratchDir() {
  char name[] = "/tmp/zelkit-test-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

ScratchDir::~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }

void loadPrivateKey(const std::string& pemPath, PrivateKey* key) {
  static uint8_t der[4096];
  const std::string text = readText(pemPath);
  uint32_t length = sizeof(der);
  if (detail::pemDecode(der, &length, text.c_str(), false) != 0) throw std::runtime_error("bad key " + pemPath);
  key->record = detail::KeyRecord{};
  key->crt = detail::RsaCrtKey{};
  key->record.crt = &key->crt;
  detail::rsaReadPrivateKey(der, length, &key->record);
}

std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  const size_t start = hex.size() % 2;
  if (start == 1) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(0, 1), nullptr, 16)));
  for (size_t i = start; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string toHex(const uint8_t* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    hex += digits[data[i] >> 4];
    hex += digits[data[i] & 0xF];
  }
  return hex;
}

}  // namespace zelkit::test
