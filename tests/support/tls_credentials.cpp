#include "support/tls_credentials.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace zeltest {

namespace {

std::string run(const std::string& command) {
  const std::optional<zelkit::test::Bytes> output = zelkit::test::runTool(command);
  if (!output) throw std::runtime_error("failed: " + command);
  return std::string(output->begin(), output->end());
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TlsCredentials::TlsCredentials(const std::string& commonName) {
  char pattern[] = "/tmp/zelkit-credentials-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  directory = pattern;
  keyPath = directory + "/key.pem";
  traditionalKeyPath = directory + "/key1.pem";
  certificatePath = directory + "/cert.pem";
  run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + keyPath + " -out " + certificatePath + " -subj /CN=" +
      commonName + " -days 30 2>/dev/null");
  run("openssl rsa -in " + keyPath + " -traditional -out " + traditionalKeyPath + " 2>/dev/null");
  certificatePem = readText(certificatePath);
  traditionalKeyPem = readText(traditionalKeyPath);
  const std::string der = run("openssl x509 -in " + certificatePath + " -outform DER");
  certificateDer.assign(der.begin(), der.end());
  md5Base64 = run("(openssl x509 -in " + certificatePath + " -outform DER | openssl dgst -md5 -binary | base64)");
  while (!md5Base64.empty() && (md5Base64.back() == '\n' || md5Base64.back() == '\r')) md5Base64.pop_back();
}

TlsCredentials::~TlsCredentials() {
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

std::string tlsPeerScript() { return std::string(ZELKIT_SOURCE_DIR) + "/tests/support/tls_peer.py"; }

}  // namespace zeltest
