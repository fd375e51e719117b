#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Runs outside programs (openssl, python3) as test oracles.
namespace zelkit::test {

using Bytes = std::vector<uint8_t>;

// True when the program is found on the PATH.
bool toolAvailable(const std::string& program);

// Runs the shell command with the given bytes on its standard input and
// returns its standard output; nullopt when it cannot run or exits non-zero.
std::optional<Bytes> runTool(const std::string& command, const Bytes& input = {});

std::string toHex(const uint8_t* data, std::size_t length);
inline std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }
// Whitespace is skipped; the text must otherwise be pairs of hex digits.
Bytes fromHex(const std::string& hex);

}  // namespace zelkit::test

// A test that needs an outside program fails without it: a missing tool
// must not pass for a green run.
#define ZELKIT_REQUIRE_TOOL(name)                     \
  ASSERT_TRUE(::zelkit::test::toolAvailable(name)) \
      << (name) << " not found (scripts/ensure-packages.sh installs it)"
