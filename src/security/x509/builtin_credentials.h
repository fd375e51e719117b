#pragma once

namespace zelkit::detail {

// PEM bodies (base64 lines, no marker lines) of the built-in server key
// (PKCS#1 RSAPrivateKey) and its certificate.
extern const char* const kBuiltinPrivateKeyBody;
extern const char* const kBuiltinCertificateBody;

}  // namespace zelkit::detail
