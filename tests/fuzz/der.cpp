// The DER index, walk, certificate summary, public-key reader and PEM
// decoder over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/x509/asn1.h"
#include "security/x509/pem.h"
#include "security/x509/x509.h"

using namespace zelkit::detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto length = static_cast<uint32_t>(size);
  uint16_t index[128];
  const int32_t count = asn1IndexTlv(data, static_cast<int32_t>(length), index, 128);
  char summary[512];
  asn1CertificateSummary(summary, sizeof(summary), data, index, count);
  derWalk(data, length, [](const char*, const uint8_t*, uint32_t, uint32_t, void*) {}, nullptr);
  static KeyRecord key;
  x509ReadPublicKey(data, length, &key);

  std::vector<char> text(data, data + size);
  text.push_back(0);
  std::vector<uint8_t> out(size);
  for (bool certificate : {true, false}) {
    uint32_t capacity = length;
    pemDecode(out.data(), &capacity, text.data(), certificate);
  }
  uint32_t capacity = length;
  pemDecodeBody(out.data(), &capacity, text.data());
  return 0;
}
