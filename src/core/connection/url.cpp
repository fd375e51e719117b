#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/connection/connection.h"
#include "core/wire/conversions.h"

namespace zelkit::detail {

namespace {

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// Copies at most max characters of the run [begin, end) into out.
void copyCut(char* out, int max, const char* begin, const char* end) {
  const int length = static_cast<int>(end - begin) < max ? static_cast<int>(end - begin) : max;
  std::memcpy(out, begin, length);
  out[length] = '\0';
}

char* copyRun(const char* begin, const char* end) {
  const std::size_t length = static_cast<std::size_t>(end - begin);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  std::memcpy(copy, begin, length);
  copy[length] = '\0';
  return copy;
}

}  // namespace

int Connection::parseUrl(const char* text) {
  uint16_t portNumber = DEFAULT_ZEL_PORT;
  const char* rest = text;
  httpScheme = false;
  tls = false;
  if (startsWith(rest, "http://")) {
    portNumber = 80;
    rest += 7;
    httpScheme = true;
  } else if (startsWith(rest, "https://")) {
    portNumber = 443;
    rest += 8;
    httpScheme = true;
    tls = true;
  } else if (startsWith(rest, "zelp://")) {
    rest += 7;
  }

  std::strcpy(user, "live");
  password[0] = '\0';
  if (const char* at = std::strchr(rest, '@')) {
    const char* userEnd = rest + std::strcspn(rest, ":@");
    // An empty user part reads nothing, as a scan of it would.
    if (userEnd > rest) {
      copyCut(user, USER_MAX, rest, userEnd);
      if (*userEnd == ':') {
        const char* passwordBegin = userEnd + 1;
        copyCut(password, PASSWORD_MAX, passwordBegin, passwordBegin + std::strcspn(passwordBegin, "@"));
      }
    }
    rest = at + 1;
  }

  int result = 0;
  const char* afterHost;
  std::free(host);
  if (*rest == '[') {
    const char* begin = rest + 1;
    const char* end = begin + std::strspn(begin, "0123456789abcdef:");
    host = copyRun(begin, end);
    address.sin6_family = AF_INET6;
    if (!platform::textToAddress(AF_INET6, host, reinterpret_cast<sockaddr*>(&address), sizeof address)) result = -1;
    afterHost = *end == ']' ? end + 1 : end;
  } else {
    int a, b, c, d;
    if (std::sscanf(rest, " %d.%d.%d.%d", &a, &b, &c, &d) == 4) {
      const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
                                static_cast<uint8_t>(d)};
      std::memcpy(&reinterpret_cast<sockaddr_in*>(&address)->sin_addr, bytes, 4);
      address.sin6_family = AF_INET;
    } else {
      address.sin6_family = 0;  // a name, resolved when connecting
    }
    const char* end = rest + std::strcspn(rest, "/:");
    host = copyRun(rest, end);
    afterHost = end;
  }
  int portValue = 0;
  if (*afterHost == ':' && std::sscanf(afterHost + 1, "%d", &portValue) == 1) portNumber = static_cast<uint16_t>(portValue);
  address.sin6_port = htons(portNumber);
  return result;
}

}  // namespace zelkit::detail
