#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/wire/conversions.h"
#include "support/external_tool.h"

namespace zelkit::detail {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kMaxLength = 200;

// The same bytes on both sides of the oracle.
Bytes sample(int length) {
  Bytes data(static_cast<size_t>(length));
  for (int i = 0; i < length; ++i) data[static_cast<size_t>(i)] = static_cast<uint8_t>((length * 7 + i * 13 + i * i % 251) & 0xFF);
  return data;
}

// Python's base64 for the samples of every length, and the same text broken
// into lines of 76 characters, each full line ended by CR LF ('*' on the pipe).
struct Oracle {
  std::vector<std::string> plain;
  std::vector<std::string> lines;
};

const Oracle& oracle() {
  static const Oracle table = [] {
    const char* script =
        "import base64\n"
        "for n in range(201):\n"
        "    data = bytes((n * 7 + i * 13 + i * i % 251) & 0xFF for i in range(n))\n"
        "    text = base64.b64encode(data).decode()\n"
        "    chunks = [text[i:i + 76] for i in range(0, len(text), 76)]\n"
        "    broken = ''.join(c + ('*' if len(c) == 76 else '') for c in chunks)\n"
        "    print(text + ' ' + broken)\n";
    const std::string command = "python3 -c \"" + std::string(script) + "\"";
    Oracle result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
      std::string text(line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      const size_t space = text.find(' ');
      std::string broken = text.substr(space + 1);
      for (size_t at; (at = broken.find('*')) != std::string::npos;) broken.replace(at, 1, "\r\n");
      result.plain.push_back(text.substr(0, space));
      result.lines.push_back(broken);
    }
    pclose(pipe);
    return result;
  }();
  return table;
}

TEST(Base64, EncodingMatchesPythonForLengthsUpTo200) {
  ZELKIT_REQUIRE_TOOL("python3");
  ASSERT_EQ(oracle().lines.size(), static_cast<size_t>(kMaxLength + 1));
  for (int n = 0; n <= kMaxLength; ++n) {
    const Bytes data = sample(n);
    char out[400];
    base64Encode(data.data(), data.size(), out, sizeof out);
    EXPECT_EQ(std::string(out), oracle().lines[static_cast<size_t>(n)]) << n;
  }
}

TEST(Base64, DecodingPythonsTextGivesTheBytesBack) {
  ZELKIT_REQUIRE_TOOL("python3");
  ASSERT_EQ(oracle().plain.size(), static_cast<size_t>(kMaxLength + 1));
  for (int n = 0; n <= kMaxLength; ++n) {
    const std::string& text = oracle().plain[static_cast<size_t>(n)];
    Bytes out(static_cast<size_t>(n) + 4, 0xAA);
    base64Decode(text.data(), static_cast<int>(text.size()), out.data(), static_cast<size_t>(n));
    EXPECT_EQ(Bytes(out.begin(), out.begin() + n), sample(n)) << n;
    EXPECT_EQ(out[static_cast<size_t>(n)], 0xAA) << n << ": nothing past the size given";
  }
}

TEST(Base64, EncodingClipsToTheBuffer) {
  const Bytes data = sample(10);
  char full[32];
  base64Encode(data.data(), data.size(), full, sizeof full);
  ASSERT_EQ(std::strlen(full), 16u);
  for (size_t size = 0; size <= 18; ++size) {
    char out[24];
    std::memset(out, '#', sizeof out);
    base64Encode(data.data(), data.size(), out, size);
    for (size_t i = size; i < sizeof out; ++i) ASSERT_EQ(out[i], '#') << size;
    if (size == 0) continue;
    const size_t kept = std::min(size - 1, std::strlen(full));
    EXPECT_EQ(std::string(out), std::string(full, kept)) << size;
  }
}

TEST(Base64, DecodingStopsAtThePadAndClips) {
  struct Case {
    const char* text;
    Bytes bytes;
  } cases[] = {
      {"QUI=", {'A', 'B'}},
      {"QQ==QUJD", {'A'}},  // stops at the first pad, not at the end
      {"QUJD", {'A', 'B', 'C'}},
      {"QQ", {'A'}},
      {"Q", {0x40}},
      {"Q\r\nQ", {0x40, 0x00, 0x10}},  // other characters count as 0
  };
  for (const Case& c : cases) {
    Bytes out(8, 0xAA);
    base64Decode(c.text, static_cast<int>(std::strlen(c.text)), out.data(), 6);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<long>(c.bytes.size())), c.bytes) << c.text;
    EXPECT_EQ(out[c.bytes.size()], 0xAA) << c.text;
  }
  uint8_t two[3] = {0, 0, 0xAA};
  base64Decode("QUJD", 4, two, 2);
  EXPECT_EQ(two[0], 'A');
  EXPECT_EQ(two[1], 'B');
  EXPECT_EQ(two[2], 0xAA);
}

TEST(Base64, BasicCredentialsStayOnOneLine) {
  const std::string user(100, 'u');
  const std::string password = "secret:with colon";
  char out[512];
  encodeBasicCredentials(user.c_str(), password.c_str(), out, sizeof out);
  EXPECT_EQ(std::strpbrk(out, "\r\n"), nullptr);
  uint8_t decoded[256] = {};
  base64Decode(out, static_cast<int>(std::strlen(out)), decoded, sizeof decoded);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded)), user + ":" + password);

  // The text is cut at 1023 characters.
  const std::string longUser(2000, 'x');
  char longOut[2048];
  encodeBasicCredentials(longUser.c_str(), "", longOut, sizeof longOut);
  EXPECT_EQ(std::strlen(longOut), 1364u);
}

}  // namespace
}  // namespace zelkit::detail
