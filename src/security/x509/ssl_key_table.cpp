#include <algorithm>
#include <cstring>

#include "security/x509/server_keys.h"

namespace zelkit::detail {

SslKeyEntry sslKeyTable[3] = {};

namespace {

int copyEntry(const SslKeyEntry& entry, uint8_t* out, int* length) {
  if (entry.data == nullptr || entry.length <= 0) return -1;
  *length = std::clamp(*length, 0, static_cast<int>(entry.length));
  if (*length > 0) std::memcpy(out, entry.data, static_cast<size_t>(*length));
  return 0;
}

}  // namespace

int getServerKey(uint8_t* out, int* length) { return copyEntry(sslKeyTable[SslPrivateKey], out, length); }

int getServerCertificate(uint8_t* out, int* length, int index) {
  // Index 0 is the private key, which this getter never hands out.
  if (index != SslCertificate && index != SslIntermediateCertificate) return -1;
  if (copyEntry(sslKeyTable[index], out, length) == 0) return 0;
  if (index == SslCertificate) return -1;
  *length = 0;
  return 0;
}

}  // namespace zelkit::detail
