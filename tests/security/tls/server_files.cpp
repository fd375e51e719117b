#include "security/tls/server_files.h"

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "security/key_fixtures.h"
#include "security/x509/server_keys.h"

namespace zelkit::test {

void storeServerKeyEntry(zelkit::SslKeyIndex index, const Bytes& der) {
  detail::SslKeyEntry& entry = detail::sslKeyTable[index];
  delete[] entry.data;
  entry.data = new uint8_t[der.size()];
  std::memcpy(entry.data, der.data(), der.size());
  entry.length = static_cast<int32_t>(der.size());
}

ServerFiles::ServerFiles(int bits) {
  char pattern[] = "/tmp/zelkit-tls-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  directory = pattern;
  keyPem = directory + "/key.pem";
  certPem = directory + "/cert.pem";
  const std::string source = dataPath("rsa" + std::to_string(bits) + ".pem");
  runText("openssl rsa -traditional -in " + source + " -out " + keyPem + " 2>/dev/null");
  runText("openssl req -x509 -key " + keyPem + " -subj /CN=zelkit.test -days 30 -out " + certPem + " 2>/dev/null");
  runText("openssl rsa -traditional -in " + keyPem + " -outform DER -out " + directory + "/key.der 2>/dev/null");
  runText("openssl x509 -in " + certPem + " -outform DER -out " + directory + "/cert.der");
  keyDer = readFile(directory + "/key.der");
  certDer = readFile(directory + "/cert.der");
}

ServerFiles::~ServerFiles() {
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

void ServerFiles::configure() const {
  storeServerKeyEntry(zelkit::SslPrivateKey, keyDer);
  storeServerKeyEntry(zelkit::SslCertificate, certDer);
}

}  // namespace zelkit::test
