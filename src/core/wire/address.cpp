#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/wire/conversions.h"

namespace zelkit::detail {

namespace {
constexpr std::size_t kMaxBracketedText = 256;
constexpr std::size_t kPortOffset = 2;  // the same in IPv4 and IPv6 records
}  // namespace

char* addressToText(const sockaddr* address, char* out, uint32_t outSize) {
  if (outSize == 0) return out;
  const int family = address != nullptr ? address->sa_family : AF_UNSPEC;
  if (family == AF_INET) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
    std::snprintf(out, outSize, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
  } else if (family == AF_INET6) {
    uint32_t length = outSize;
    if (!platform::addressToText(address, out, &length)) out[0] = '\0';
  } else {
    std::snprintf(out, outSize, "%s", "<unkonwn>");
  }
  return out;
}

int makeSockaddr(sockaddr* out, int family, const uint8_t* address, uint32_t addressLength, uint16_t port) {
  std::memset(out, 0, sizeof(sockaddr_in6));
  out->sa_family = static_cast<sa_family_t>(family);
  if (family == AF_INET) {
    if (address != nullptr && addressLength != 4) return -1;
    auto* v4 = reinterpret_cast<sockaddr_in*>(out);
    if (address != nullptr) std::memcpy(&v4->sin_addr, address, 4);
    v4->sin_port = port;
    return 0;
  }
  if (family == AF_INET6) {
    if (address != nullptr && addressLength != 16) return -1;
    auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
    if (address != nullptr) std::memcpy(&v6->sin6_addr, address, 16);
    v6->sin6_port = port;
    return 0;
  }
  return -1;
}

int parseAddress(sockaddr* out, const char* text, uint32_t length) {
  const std::size_t end = length != 0 ? length : std::strlen(text);
  if (end > 0 && text[0] == '[') {
    const auto* close = static_cast<const char*>(std::memchr(text + 1, ']', end - 1));
    if (close == nullptr) return 0;
    const std::size_t inner = static_cast<std::size_t>(close - (text + 1));
    if (inner > kMaxBracketedText) return 0;
    char copy[kMaxBracketedText + 1];
    std::memcpy(copy, text + 1, inner);
    copy[inner] = '\0';
    if (!platform::textToAddress(AF_INET6, copy, out, sockaddrLength())) return 0;
    return static_cast<int>(inner + 2);
  }

  std::size_t pos = 0;
  while (pos < end && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= end || text[pos] != '.') return 0;
      ++pos;
    }
    if (pos >= end || !std::isdigit(static_cast<unsigned char>(text[pos]))) return 0;
    uint32_t number = 0;  // used as read: no range test
    while (pos < end && std::isdigit(static_cast<unsigned char>(text[pos]))) number = number * 10 + static_cast<uint32_t>(text[pos++] - '0');
    bytes[i] = static_cast<uint8_t>(number);
  }
  out->sa_family = AF_INET;
  std::memcpy(&reinterpret_cast<sockaddr_in*>(out)->sin_addr, bytes, 4);
  return static_cast<int>(pos);
}

void setSockaddrPort(sockaddr* address, uint16_t networkOrderPort) {
  std::memcpy(reinterpret_cast<uint8_t*>(address) + kPortOffset, &networkOrderPort, 2);
}

uint16_t sockaddrPort(const sockaddr* address) {
  uint16_t port;
  std::memcpy(&port, reinterpret_cast<const uint8_t*>(address) + kPortOffset, 2);
  return port;
}

}  // namespace zelkit::detail
