#include "client/scanner/reply_parsing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/wire/byte_io.h"
#include "platform/socket.h"

namespace zelkit::detail {

namespace {

constexpr int MAX_ADDRESS_TEXT = 31;
constexpr int MAX_PORT_TEXT = 15;

// The text after the element's opening tag, up to the next '<'; null when
// the element is missing or its value is not ended by a '<'.
const char* elementValue(const char* text, const char* openingTag, int& length) {
  const char* start = std::strstr(text, openingTag);
  if (start == nullptr) return nullptr;
  start += std::strlen(openingTag);
  const char* end = std::strchr(start, '<');
  if (end == nullptr) return nullptr;
  length = static_cast<int>(end - start);
  return start;
}

// The value copied into out (at most its size − 1 characters) and ended by 0;
// false when it does not fit.
template <std::size_t N>
bool copyValue(const char* value, int length, char (&out)[N]) {
  if (length >= static_cast<int>(N)) return false;
  std::memcpy(out, value, static_cast<std::size_t>(length));
  out[length] = '\0';
  return true;
}

uint32_t readAddress(const char* text) {
  int length = 0;
  const char* value = elementValue(text, "<unitIPAddress>", length);
  char dotted[MAX_ADDRESS_TEXT + 1];
  if (value == nullptr || !copyValue(value, length, dotted)) return 0;
  const uint32_t address = platform::inetAddr(dotted);
  // Text that is no address is taken as none, not as 255.255.255.255.
  return address == 0xFFFFFFFF ? 0 : address;
}

uint16_t readHttpPort(const char* text) {
  int length = 0;
  const char* value = elementValue(text, "<HTTPPort>", length);
  char digits[MAX_PORT_TEXT + 1];
  if (value == nullptr || !copyValue(value, length, digits)) return DEFAULT_HTTP_PORT;
  return static_cast<uint16_t>(std::strtoul(digits, nullptr, 10));
}

bool readMac(const char* text, XmlReply& out) {
  int length = 0;
  const char* value = elementValue(text, "<physAddress>", length);
  if (value == nullptr) return false;
  out.macText = value;
  out.macTextLength = length;
  unsigned parts[MAC_SIZE];
  if (std::sscanf(value, "%x-%x-%x-%x-%x-%x", &parts[0], &parts[1], &parts[2], &parts[3], &parts[4], &parts[5]) !=
      MAC_SIZE)
    return false;
  for (int i = 0; i < MAC_SIZE; ++i) out.mac[i] = static_cast<uint8_t>(parts[i]);
  return true;
}

}  // namespace

bool readBinaryReply(const uint8_t* datagram, int length, uint32_t scanId, BinaryReply& out) {
  // A shorter datagram would leave part of the reply unread.
  if (length < BINARY_REPLY_SIZE || readBE32(datagram) != SCAN_MAGIC) return false;
  std::memcpy(&out.address, datagram + REPLY_ADDRESS, sizeof out.address);
  if (out.address == 0 || readBE32(datagram + REPLY_SCAN_ID) != scanId) return false;
  std::memcpy(out.mac, datagram + REPLY_MAC, MAC_SIZE);
  return true;
}

bool readXmlReply(const char* text, XmlReply& out) {
  out.address = readAddress(text);
  out.httpPort = readHttpPort(text);
  out.macText = nullptr;
  out.macTextLength = 0;
  out.hasMac = readMac(text, out);
  return out.hasMac && out.address != 0;
}

}  // namespace zelkit::detail
