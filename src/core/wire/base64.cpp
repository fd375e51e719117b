#include <cstdio>
#include <cstring>

#include "core/wire/conversions.h"

namespace zelkit::detail {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineLength = 76;
constexpr std::size_t kCredentialsTextSize = 1024;

// Writes into a buffer without passing its end.
class ClippedOutput {
 public:
  ClippedOutput(char* out, std::size_t size) : out_(out), size_(size) {}
  bool full() const { return pos_ >= size_; }
  void put(char c) {
    if (!full()) out_[pos_++] = c;
  }
  // The terminator takes the place of the last character when the buffer is full.
  void terminate() {
    if (size_ == 0) return;
    out_[full() ? size_ - 1 : pos_] = '\0';
  }

 private:
  char* out_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

char* encode(const uint8_t* data, std::size_t length, char* out, std::size_t outSize, bool breakLines) {
  ClippedOutput output(out, outSize);
  int lineLength = 0;
  for (std::size_t i = 0; i < length && !output.full(); i += 3) {
    const std::size_t groupLength = length - i < 3 ? length - i : 3;
    const uint32_t bits = uint32_t{data[i]} << 16 | (groupLength > 1 ? uint32_t{data[i + 1]} << 8 : 0) |
                          (groupLength > 2 ? uint32_t{data[i + 2]} : 0);
    output.put(kAlphabet[bits >> 18 & 0x3F]);
    output.put(kAlphabet[bits >> 12 & 0x3F]);
    output.put(groupLength > 1 ? kAlphabet[bits >> 6 & 0x3F] : '=');
    output.put(groupLength > 2 ? kAlphabet[bits & 0x3F] : '=');
    lineLength += 4;
    if (breakLines && lineLength >= kLineLength) {
      output.put('\r');
      output.put('\n');
      lineLength = 0;
    }
  }
  output.terminate();
  return out;
}

// Characters outside the alphabet (line breaks included) count as 0.
uint8_t sextet(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

}  // namespace

char* base64Encode(const uint8_t* data, std::size_t length, char* out, std::size_t outSize) {
  return encode(data, length, out, outSize, true);
}

uint8_t* base64Decode(const char* text, int length, uint8_t* out, std::size_t outSize) {
  std::size_t written = 0;
  auto put = [&](uint32_t byte) {
    if (written < outSize) out[written++] = static_cast<uint8_t>(byte);
  };
  for (int pos = 0; pos < length; pos += 4) {
    const int left = length - pos;
    const uint32_t a = sextet(text[pos]);
    const uint32_t b = left > 1 ? sextet(text[pos + 1]) : 0;
    put(a << 2 | b >> 4);
    if (left < 3 || text[pos + 2] == '=') break;
    const uint32_t c = sextet(text[pos + 2]);
    put((b & 0x0F) << 4 | c >> 2);
    if (left < 4 || text[pos + 3] == '=') break;
    put((c & 0x03) << 6 | sextet(text[pos + 3]));
  }
  return out;
}

char* encodeBasicCredentials(const char* user, const char* password, char* out, std::size_t outSize) {
  char text[kCredentialsTextSize];
  std::snprintf(text, sizeof text, "%s:%s", user != nullptr ? user : "", password != nullptr ? password : "");
  // An HTTP header value: one line, however long.
  return encode(reinterpret_cast<const uint8_t*>(text), std::strlen(text), out, outSize, false);
}

}  // namespace zelkit::detail
