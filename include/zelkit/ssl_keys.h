#pragma once

namespace zelkit {

// Slots of the TLS server's credentials, each holding DER bytes.
enum SslKeyIndex {
  SslPrivateKey = 0,
  SslCertificate = 1,
  SslIntermediateCertificate = 2,
};

}  // namespace zelkit
