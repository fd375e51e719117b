#pragma once

#include <string>

#include "support/external_tool.h"

namespace zeltest {

// A self-signed RSA certificate and its key, made with openssl in a
// temporary directory that goes with the object:
//   openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -subj /CN=<commonName>
//   openssl rsa -in key.pem -traditional -out key1.pem
// Throws std::runtime_error when openssl fails.
class TlsCredentials {
 public:
  explicit TlsCredentials(const std::string& commonName = "zelkit.test");
  ~TlsCredentials();
  TlsCredentials(const TlsCredentials&) = delete;
  TlsCredentials& operator=(const TlsCredentials&) = delete;

  std::string directory;
  std::string keyPath;             // PKCS#8, as req writes it
  std::string traditionalKeyPath;  // PKCS#1
  std::string certificatePath;
  std::string certificatePem;      // the files' texts
  std::string traditionalKeyPem;
  zelkit::test::Bytes certificateDer;
  // base64 of: openssl x509 -outform DER | openssl dgst -md5 -binary
  std::string md5Base64;
};

// The path of tls_peer.py, the Python TLS peer of the tests.
std::string tlsPeerScript();

}  // namespace zeltest
