#pragma once

#include <string>

#include "support/tls_memory_link.h"
#include "zelkit/ssl_keys.h"

// A TLS server's key and certificate as files for outside programs and as
// DER for the library's key table, in a temporary directory that goes
// with the object.
namespace zelkit::test {

// Stores DER bytes in one entry of the server key table.
void storeServerKeyEntry(zelkit::SslKeyIndex index, const Bytes& der);

class ServerFiles {
 public:
  // A self-signed certificate for the test key of the given size
  // (tests/security/data/rsa<bits>.pem), made with openssl. Throws when
  // openssl fails.
  explicit ServerFiles(int bits);
  ~ServerFiles();
  ServerFiles(const ServerFiles&) = delete;
  ServerFiles& operator=(const ServerFiles&) = delete;

  // Fills the server key table; call before the first TLS context.
  void configure() const;

  std::string directory;
  std::string keyPem;   // PKCS#1
  std::string certPem;
  Bytes keyDer;
  Bytes certDer;
};

}  // namespace zelkit::test
