#include "security/key_fixtures.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "security/x509/pem.h"
#include "security/x509/x509.h"

namespace zelkit::test {

std::string dataPath(const std::string& name) { return std::string(ZELKIT_TEST_DATA_DIR) + "/" + name; }

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string readText(const std::string& path) {
  const Bytes bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string runText(const std::string& command) {
  const auto output = runTool(command);
  if (!output) throw std::runtime_error("command failed: " + command);
  return std::string(output->begin(), output->end());
}

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

}  // namespace zelkit::test
