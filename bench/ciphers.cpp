// Throughput of the ciphers and hashes on one core, each beside
// `openssl speed` of the same operation (OpenSSL uses AES-NI and assembly:
// a ceiling, not a peer). Usage: bench_ciphers [seconds per measurement]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "security/cipher/aes.h"
#include "security/cipher/des.h"
#include "security/hash/md5.h"
#include "security/hash/sha1.h"
#include "support/external_tool.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsPerRun = 1.0;

// MB/s (10^6 bytes) of running `work` on `bytesPerCall` bytes repeatedly.
double measure(std::size_t bytesPerCall, const std::function<void()>& work) {
  for (int i = 0; i < 16; ++i) work();  // warm caches and tables
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(secondsPerRun);
  std::size_t calls = 0;
  Clock::time_point now;
  do {
    for (int i = 0; i < 64; ++i) work();
    calls += 64;
    now = Clock::now();
  } while (now < end);
  const double elapsed = std::chrono::duration<double>(now - start).count();
  return static_cast<double>(calls * bytesPerCall) / elapsed / 1e6;
}

// MB/s reported by `openssl speed` in machine-readable form, or -1.
double opensslSpeed(const std::string& arguments, std::size_t bytes) {
  const std::string command = "openssl speed -mr -seconds 1 -bytes " + std::to_string(bytes) + " " + arguments +
                              " 2>/dev/null";
  const auto output = zelkit::test::runTool(command);
  if (!output) return -1;
  const std::string text(output->begin(), output->end());
  const std::size_t line = text.rfind("+F:");
  if (line == std::string::npos) return -1;
  const std::size_t colon = text.find_last_of(':', text.find('\n', line));
  return std::atof(text.c_str() + colon + 1) / 1e6;
}

void report(const char* name, double ours, double openssl) {
  if (openssl > 0) {
    std::printf("%-24s %10.1f MB/s   openssl %10.1f MB/s   ratio %5.3f\n", name, ours, openssl, ours / openssl);
  } else {
    std::printf("%-24s %10.1f MB/s   openssl        n/a\n", name, ours);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) secondsPerRun = std::atof(argv[1]);
  constexpr std::size_t bufferSize = 16384;
  constexpr std::size_t rtpPacketSize = 1400;
  std::vector<uint8_t> buffer(bufferSize, 0x5A);
  const uint8_t key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                           0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  const uint32_t length = static_cast<uint32_t>(bufferSize);

  C_CryptAES aesEncrypt, aesDecrypt, aesRtp;
  aesEncrypt.setKey(key, 0);
  aesDecrypt.setKey(key, 1);
  aesRtp.setRtpMasterKey(key);
  C_CryptDES des;
  des.setKey(key, 0);

  const std::string legacy = "-provider legacy -provider default ";
  report("AES-128 ECB encrypt", measure(bufferSize, [&] { aesEncrypt.encrypt(buffer.data(), length); }),
         opensslSpeed("-evp aes-128-ecb", bufferSize));
  report("AES-128 ECB decrypt", measure(bufferSize, [&] { aesDecrypt.decrypt(buffer.data(), length); }),
         opensslSpeed("-decrypt -evp aes-128-ecb", bufferSize));
  uint8_t iv[16] = {};
  report("AES-128 CBC encrypt", measure(bufferSize, [&] { aesEncrypt.encryptCbc(buffer.data(), length, iv); }),
         opensslSpeed("-evp aes-128-cbc", bufferSize));
  report("AES-128 CBC decrypt", measure(bufferSize, [&] { aesDecrypt.decryptCbc(buffer.data(), length, iv); }),
         opensslSpeed("-decrypt -evp aes-128-cbc", bufferSize));
  std::vector<uint8_t> packet(rtpPacketSize, 0x33);
  report("AES RTP 1400-byte pkts", measure(rtpPacketSize, [&] {
           aesRtp.encryptRtp(packet.data(), static_cast<uint32_t>(packet.size()));
         }),
         opensslSpeed("-evp aes-128-ctr", rtpPacketSize));
  report("DES ECB encrypt", measure(bufferSize, [&] { des.encrypt(buffer.data(), length); }),
         opensslSpeed(legacy + "-evp des-ecb", bufferSize));
  report("DES ECB decrypt", measure(bufferSize, [&] { des.decrypt(buffer.data(), length); }),
         opensslSpeed(legacy + "-decrypt -evp des-ecb", bufferSize));

  uint8_t digest[20];
  report("MD5", measure(bufferSize, [&] {
           zelkit::detail::Md5Context ctx;
           zelkit::detail::md5Init(&ctx);
           zelkit::detail::md5Update(&ctx, buffer.data(), length);
           zelkit::detail::md5Final(digest, &ctx);
         }),
         opensslSpeed("-evp md5", bufferSize));
  report("SHA-1", measure(bufferSize, [&] {
           zelkit::detail::Sha1Context ctx;
           zelkit::detail::sha1Reset(&ctx);
           zelkit::detail::sha1Input(&ctx, buffer.data(), length);
           zelkit::detail::sha1Result(&ctx, digest);
         }),
         opensslSpeed("-evp sha1", bufferSize));
  return 0;
}
