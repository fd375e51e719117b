#include "security/tls/ssl_prf.h"

#include <algorithm>
#include <cstring>

namespace zelkit::detail {

int sslPHash(SslHash hash, const uint8_t* secret, int secretLength, const uint8_t* seed, int seedLength,
             int outLength, uint8_t* out) {
  if (outLength < 1 || outLength > kSslPrfMaxLength || seedLength < 0 || seedLength > kSslPrfMaxLength) return -1;
  const uint32_t keyLength = static_cast<uint32_t>(secretLength);
  const uint32_t seedBytes = static_cast<uint32_t>(seedLength);
  uint8_t a[kMaxDigestLength];  // A(i)
  uint8_t block[kMaxDigestLength];
  SslHmac first(hash, secret, keyLength);
  first.update(seed, seedBytes);
  first.finish(a);
  const uint32_t digestLength = first.digestLength();
  for (int done = 0; done < outLength;) {
    SslHmac output(hash, secret, keyLength);
    output.update(a, digestLength);
    output.update(seed, seedBytes);
    output.finish(block);
    const int take = std::min(static_cast<int>(digestLength), outLength - done);
    std::memcpy(out + done, block, static_cast<size_t>(take));
    done += take;
    if (done < outLength) {
      SslHmac next(hash, secret, keyLength);
      next.update(a, digestLength);
      next.finish(a);
    }
  }
  return 0;
}

int sslPrf(const uint8_t* secret, int secretLength, const char* label, int labelLength, const uint8_t* seed,
           int seedLength, int outLength, uint8_t* out) {
  if (labelLength < 0 || seedLength < 0 || labelLength + seedLength > kSslPrfMaxLength) return -1;
  if (outLength < 1 || outLength > kSslPrfMaxLength || secretLength < 0) return -1;
  uint8_t labelSeed[kSslPrfMaxLength];
  if (labelLength > 0) std::memcpy(labelSeed, label, static_cast<size_t>(labelLength));
  if (seedLength > 0) std::memcpy(labelSeed + labelLength, seed, static_cast<size_t>(seedLength));
  const int combined = labelLength + seedLength;

  const int half = (secretLength + 1) / 2;
  uint8_t md5Part[kSslPrfMaxLength];
  uint8_t sha1Part[kSslPrfMaxLength];
  if (sslPHash(SslHash::Md5, secret, half, labelSeed, combined, outLength, md5Part) != 0) return -1;
  if (sslPHash(SslHash::Sha1, secret + secretLength - half, half, labelSeed, combined, outLength, sha1Part) != 0) {
    return -1;
  }
  for (int i = 0; i < outLength; ++i) out[i] = md5Part[i] ^ sha1Part[i];
  return 0;
}

}  // namespace zelkit::detail
