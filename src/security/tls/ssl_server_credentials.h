#pragma once

#include "security/x509/key_record.h"

// The TLS server's key and certificates, read from sslKeyTable once per
// process, by the first engine context.
namespace zelkit::detail {

struct SslServerCredentials {
  KeyRecord certificate;
  KeyRecord privateKey;
  KeyRecord intermediate;
  bool usable;  // false when loading failed or left no key pair to serve
};

// Loads the credentials on the first call.
void sslLoadKeysOnce();
// The loaded credentials; valid after sslLoadKeysOnce, read-only then.
const SslServerCredentials& sslServerCredentials();

}  // namespace zelkit::detail
