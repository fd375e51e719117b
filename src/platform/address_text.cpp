// Address text conversions and name resolution of the socket layer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>

#include "platform/errors.h"
#include "platform/socket.h"

namespace zelkit::platform {

namespace {

// A decimal port after ':'; false when it is not one.
bool parsePort(const char* text, uint16_t& port) {
  if (*text == '\0') return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool textToIPv6(const char* text, sockaddr_in6& out) {
  char copy[256];
  if (std::strlen(text) >= sizeof copy) return false;
  std::strcpy(copy, text);
  char* address = copy;
  uint16_t port = 0;
  if (*address == '[') {
    char* close = std::strchr(address, ']');
    if (close == nullptr) return false;
    *close = '\0';
    ++address;
    if (close[1] == ':' && !parsePort(close + 2, port)) return false;
    if (close[1] != '\0' && close[1] != ':') return false;
  }
  uint32_t scope = 0;
  if (char* percent = std::strchr(address, '%')) {
    *percent = '\0';
    char* end = nullptr;
    scope = static_cast<uint32_t>(std::strtoul(percent + 1, &end, 10));
    if (end == percent + 1 || *end != '\0') {
      scope = if_nametoindex(percent + 1);
      if (scope == 0) return false;
    }
  }
  in6_addr bytes{};
  if (inet_pton(AF_INET6, address, &bytes) != 1) return false;
  std::memset(&out, 0, sizeof out);
  out.sin6_family = AF_INET6;
  out.sin6_port = htons(port);
  out.sin6_addr = bytes;
  out.sin6_scope_id = scope;
  return true;
}

bool textToIPv4(const char* text, sockaddr_in& out) {
  char copy[64];
  if (std::strlen(text) >= sizeof copy) return false;
  std::strcpy(copy, text);
  uint16_t port = 0;
  if (char* colon = std::strchr(copy, ':')) {
    *colon = '\0';
    if (!parsePort(colon + 1, port)) return false;
  }
  in_addr bytes{};
  if (inet_pton(AF_INET, copy, &bytes) != 1) return false;
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  out.sin_addr = bytes;
  return true;
}

}  // namespace

bool textToAddress(int family, const char* text, sockaddr* out, int length) {
  if (text == nullptr || out == nullptr) return false;
  if (family == AF_INET6 && length >= static_cast<int>(sizeof(sockaddr_in6)))
    return textToIPv6(text, *reinterpret_cast<sockaddr_in6*>(out));
  if (family == AF_INET && length >= static_cast<int>(sizeof(sockaddr_in)))
    return textToIPv4(text, *reinterpret_cast<sockaddr_in*>(out));
  setLastError(wsa::Invalid);
  return false;
}

bool addressToText(const sockaddr* address, char* out, uint32_t* outLength) {
  char text[128];
  int written = -1;
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    char digits[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &v4->sin_addr, digits, sizeof digits);
    written = v4->sin_port != 0 ? std::snprintf(text, sizeof text, "%s:%u", digits, ntohs(v4->sin_port))
                                : std::snprintf(text, sizeof text, "%s", digits);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    char digits[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, &v6->sin6_addr, digits, sizeof digits);
    char scope[16] = "";
    if (v6->sin6_scope_id != 0) std::snprintf(scope, sizeof scope, "%%%u", v6->sin6_scope_id);
    written = v6->sin6_port != 0
                  ? std::snprintf(text, sizeof text, "[%s%s]:%u", digits, scope, ntohs(v6->sin6_port))
                  : std::snprintf(text, sizeof text, "%s%s", digits, scope);
  }
  if (written < 0) {
    setLastError(wsa::Invalid);
    return false;
  }
  const uint32_t needed = static_cast<uint32_t>(written) + 1;
  if (*outLength < needed) {
    *outLength = needed;
    setLastError(wsa::Fault);
    return false;
  }
  std::memcpy(out, text, needed);
  *outLength = needed;
  return true;
}

uint32_t inetAddr(const char* text) { return inet_addr(text); }

int resolveFirstAddress(const char* host, sockaddr_in6* out) {
  addrinfo hints{};
  addrinfo* results = nullptr;
  const int error = getaddrinfo(host, nullptr, &hints, &results);
  if (error != 0) return error == EAI_SYSTEM ? static_cast<int>(socketErrorFromErrno(errno)) : static_cast<int>(wsa::HostNotFound);
  std::memset(out, 0, sizeof *out);
  if (results->ai_addrlen <= sizeof *out) std::memcpy(out, results->ai_addr, results->ai_addrlen);
  else out->sin6_family = static_cast<sa_family_t>(results->ai_family);
  freeaddrinfo(results);
  return 0;
}

}  // namespace zelkit::platform
