#pragma once

#include <string>

#include "security/x509/key_record.h"
#include "support/external_tool.h"

// Fixture files of the security tests and keys read from them.
namespace zelkit::test {

std::string dataPath(const std::string& name);
Bytes readFile(const std::string& path);
std::string readText(const std::string& path);
// The standard output of a command that must succeed, as text.
std::string runText(const std::string& command);

// A private key read from a PEM file with the library's own readers, its
// CRT parts included.
struct PrivateKey {
  detail::KeyRecord record;
  detail::RsaCrtKey crt;
};
void loadPrivateKey(const std::string& pemPath, PrivateKey* key);

}  // namespace zelkit::test
