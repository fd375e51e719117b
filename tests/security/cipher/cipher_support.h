#pragma once

#include <optional>
#include <random>
#include <string>

#include "security/cipher/crypt.h"
#include "support/external_tool.h"

namespace zelkit::test {

// ECB without padding by the openssl command-line tool ("aes-128-ecb",
// "des-ecb"); nullopt when the tool cannot run.
inline std::optional<Bytes> opensslEcb(const std::string& cipher, const Bytes& key, const Bytes& data) {
  std::string command = "openssl enc -" + cipher + " -nopad -K " + toHex(key);
  if (cipher.rfind("des", 0) == 0) command += " -provider legacy -provider default";
  return runTool(command + " 2>/dev/null", data);
}

// Reproducible test data.
inline Bytes randomBytes(std::size_t n, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

inline Bytes encrypted(C_Cryptlfc& cipher, Bytes data) {
  cipher.encrypt(data.data(), static_cast<uint32_t>(data.size()));
  return data;
}

inline Bytes decrypted(C_Cryptlfc& cipher, Bytes data) {
  cipher.decrypt(data.data(), static_cast<uint32_t>(data.size()));
  return data;
}

}  // namespace zelkit::test
