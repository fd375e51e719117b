#include "security/x509/server_keys.h"

#include <cstring>

#include "core/log/system_log.h"
#include "security/x509/builtin_credentials.h"
#include "security/x509/pem.h"
#include "security/x509/x509.h"

namespace zelkit::detail {

namespace {

// A record holding a fresh buffer sized to table entry `index` and its
// copy. False when the getter fails.
bool copyEntry(int index, KeyRecord* record) {
  const SslKeyEntry& entry = sslKeyTable[index];
  int length = entry.data != nullptr && entry.length > 0 ? entry.length : 0;
  record->der = length > 0 ? new uint8_t[length] : nullptr;
  const int result =
      index == SslPrivateKey ? getServerKey(record->der, &length) : getServerCertificate(record->der, &length, index);
  record->derLength = static_cast<uint32_t>(length);
  return result == 0;
}

bool decodeBuiltin(const char* body, KeyRecord* record) {
  // Four base64 characters give at most three bytes.
  uint32_t length = static_cast<uint32_t>(std::strlen(body)) / 4 * 3 + 3;
  record->der = new uint8_t[length];
  const int result = pemDecodeBody(record->der, &length, body);
  record->derLength = length;
  return result == 0;
}

void release(KeyRecord* record) {
  if (record == nullptr) return;
  delete[] record->der;
  record->der = nullptr;
  record->derLength = 0;
}

// Reads the RSA numbers of both records; null when they make a usable pair,
// else why not.
const char* readCredentials(KeyRecord* certificate, KeyRecord* privateKey) {
  rsaReadPrivateKey(privateKey->der, privateKey->derLength, privateKey);
  x509ReadKeyFields(certificate->der, certificate->derLength, certificate);
  if (privateKey->fieldsFound < 2 || privateKey->first.bits == 0 || privateKey->second.bits == 0) {
    return "the private key is not a PKCS#1 RSA private key";
  }
  if (privateKey->first.bits > kRsaMaxModulusBits) return "the key is longer than 4096 bits";
  if (!rsaPublicKeyUsable(certificate)) return "the certificate holds no usable RSA public key";
  if (bigNumCompare(&privateKey->first, &certificate->first) != 0) {
    return "the private key does not belong to the certificate";
  }
  return nullptr;
}

void clear(KeyRecord* record, RsaCrtKey* crt) {
  *record = KeyRecord{};
  record->crt = crt;
  if (crt != nullptr) *crt = RsaCrtKey{};
}

void empty(KeyRecord* certificate, KeyRecord* privateKey, KeyRecord* intermediate) {
  release(certificate);
  release(privateKey);
  release(intermediate);
  clear(certificate, nullptr);
  clear(privateKey, privateKey->crt);
}

}  // namespace

int loadServerKeys(KeyRecord* certificate, KeyRecord* privateKey, KeyRecord* intermediate) {
  clear(certificate, nullptr);
  clear(privateKey, new RsaCrtKey);
  if (intermediate != nullptr) clear(intermediate, nullptr);

  bool configured = copyEntry(SslPrivateKey, privateKey);
  configured = copyEntry(SslCertificate, certificate) && configured;
  if (intermediate != nullptr) configured = copyEntry(SslIntermediateCertificate, intermediate) && configured;
  if (configured && privateKey->derLength > 0 && certificate->derLength > 0) {
    const char* problem = readCredentials(certificate, privateKey);
    if (problem == nullptr) return 0;
    logSystem("ssl ", "Configured server key not usable: %s; no TLS server handshake will succeed", problem);
    empty(certificate, privateKey, intermediate);
    return kServerKeysUnusable;
  }

  // The configured key and certificate are never mixed with the built-in ones.
  empty(certificate, privateKey, intermediate);
  if (!decodeBuiltin(kBuiltinPrivateKeyBody, privateKey)) return -1;
  if (!decodeBuiltin(kBuiltinCertificateBody, certificate)) return -2;
  readCredentials(certificate, privateKey);
  return 0;
}

}  // namespace zelkit::detail
