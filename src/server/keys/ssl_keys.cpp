#include <cstring>
#include <string>

#include "security/x509/pem.h"
#include "security/x509/server_keys.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

constexpr int KEY_MATERIAL_MIN = 4;
constexpr char PEM_START[] = "----";

}  // namespace

int ZelServer::setSslKeys(SslKeyIndex index, void const* data, int length) {
  if (index < SslPrivateKey || index > SslIntermediateCertificate) return -1;
  if (length < KEY_MATERIAL_MIN || data == nullptr) return -2;
  detail::SslKeyEntry& entry = detail::sslKeyTable[index];
  delete[] entry.data;
  entry.data = new uint8_t[length];
  entry.length = length;
  const auto* bytes = static_cast<const char*>(data);
  if (std::memcmp(bytes, PEM_START, sizeof PEM_START - 1) != 0) {
    std::memcpy(entry.data, bytes, static_cast<std::size_t>(length));
    return 0;
  }
  // PEM text: read no further than the length given, even without a
  // terminator in it.
  const std::string text(bytes, strnlen(bytes, static_cast<std::size_t>(length)));
  uint32_t decoded = static_cast<uint32_t>(length);
  const int result = detail::pemDecode(entry.data, &decoded, text.c_str(), index != SslPrivateKey);
  entry.length = result == 0 ? static_cast<int32_t>(decoded) : 0;
  return result;
}

}  // namespace zelkit
