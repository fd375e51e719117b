#pragma once

/// \file
/// Slots of the TLS server's key material, for ZelServer::setSslKeys.

namespace zelkit {

/// Slots of the TLS server's credentials, each holding DER bytes.
enum SslKeyIndex {
  SslPrivateKey = 0,               ///< The RSA private key.
  SslCertificate = 1,              ///< The server's certificate.
  SslIntermediateCertificate = 2,  ///< A certificate sent after the server's own, or none.
};

}  // namespace zelkit
