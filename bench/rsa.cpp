// RSA-2048 private operations per second, beside openssl's own figure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "security/x509/pem.h"
#include "security/rsa/random.h"
#include "security/rsa/rsa.h"
#include "security/x509/x509.h"

using namespace zelkit::detail;

namespace {

double operationsPerSecond(const KeyRecord* key, const BigNum* input) {
  using Clock = std::chrono::steady_clock;
  BigNum output;
  int count = 0;
  const auto start = Clock::now();
  auto now = start;
  while (now - start < std::chrono::seconds(2)) {
    rsaPrivateOperation(key, input, &output);
    ++count;
    now = Clock::now();
  }
  return count / std::chrono::duration<double>(now - start).count();
}

// A fresh key from openssl genrsa.
bool generateKey(KeyRecord* key) {
  FILE* pipe = popen("openssl genrsa -traditional 2048 2>/dev/null", "r");
  if (pipe == nullptr) return false;
  std::string pem;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) pem.append(buffer, got);
  if (pclose(pipe) != 0) return false;
  static uint8_t der[4096];
  uint32_t length = sizeof(der);
  if (pemDecode(der, &length, pem.c_str(), false) != 0) return false;
  rsaReadPrivateKey(der, length, key);
  return key->first.bits == 2048 && key->crt->fieldsFound == kRsaCrtFields;
}

}  // namespace

int main() {
  static RsaCrtKey parts;
  static KeyRecord key;
  key.crt = &parts;
  if (!generateKey(&key)) {
    std::printf("needs openssl to make a 2048-bit key\n");
    return 1;
  }

  uint8_t bytes[256];
  randomBytes(bytes, sizeof(bytes));
  bytes[0] = 0;
  BigNum input;
  bigNumFromBytes(&input, bytes, sizeof(bytes), true);

  const double crt = operationsPerSecond(&key, &input);
  KeyRecord plain = key;
  plain.crt = nullptr;
  const double exponent = operationsPerSecond(&plain, &input);
  std::printf("zelkit  rsa2048 private, CRT and blinding: %8.1f ops/s  %6.3f ms/op\n", crt, 1000 / crt);
  std::printf("zelkit  rsa2048 private, plain exponent:   %8.1f ops/s  %6.3f ms/op\n", exponent, 1000 / exponent);

  std::fflush(stdout);
  if (std::system("openssl speed -seconds 1 rsa2048 2>/dev/null | grep '^rsa 2048'") != 0) {
    std::printf("openssl not available\n");
  }
  return 0;
}
