#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "security/key_record.h"

// Outside programs (openssl, python3) as test oracles, and fixture files.
namespace zelkit::test {

bool haveProgram(const char* name);
// Runs a shell command; its standard output, or nothing when it failed.
std::optional<std::vector<uint8_t>> runCommand(const std::string& command);
std::string runText(const std::string& command);

std::string dataPath(const std::string& name);
std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& data);
std::string readText(const std::string& path);

// A directory removed with its files when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A private key read from a PEM file with the library's own readers, its
// CRT parts included.
struct PrivateKey {
  detail::KeyRecord record;
  detail::RsaCrtKey crt;
};
void loadPrivateKey(const std::string& pemPath, PrivateKey* key);

std::vector<uint8_t> fromHex(const std::string& hex);
std::string toHex(const uint8_t* data, size_t length);

}  // namespace zelkit::test

#define ZELKIT_REQUIRE_PROGRAM(name) \
  if (!::zelkit::test::haveProgram(name)) GTEST_SKIP() << name " not found"
