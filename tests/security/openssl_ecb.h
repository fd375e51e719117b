#pragma once

#include <optional>
#include <string>

#include "support/external_tool.h"

namespace zelkit::test {

// ECB without padding by the openssl command-line tool ("aes-128-ecb",
// "des-ecb"); nullopt when the tool cannot run.
inline std::optional<Bytes> opensslEcb(const std::string& cipher, const Bytes& key, const Bytes& data,
                                       bool decrypt = false) {
  std::string command = "openssl enc -" + cipher + " -nopad -K " + toHex(key);
  if (cipher.rfind("des", 0) == 0) command += " -provider legacy -provider default";
  if (decrypt) command += " -d";
  return runTool(command + " 2>/dev/null", data);
}

inline bool opensslAvailable() { return toolAvailable("openssl"); }

}  // namespace zelkit::test
