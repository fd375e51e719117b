#include <arpa/inet.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "core/wire/conversions.h"
#include "zelkit/byte_order.h"

namespace zelkit::detail {
namespace {

sockaddr_in6 record(int family, const char* address, uint16_t port, uint32_t scope = 0) {
  sockaddr_in6 storage{};
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    inet_pton(AF_INET, address, &v4->sin_addr);
  } else if (family == AF_INET6) {
    storage.sin6_family = AF_INET6;
    storage.sin6_port = htons(port);
    storage.sin6_scope_id = scope;
    inet_pton(AF_INET6, address, &storage.sin6_addr);
  }
  return storage;
}

TEST(AddressText, Table) {
  struct Case {
    sockaddr_in6 address;
    uint32_t outSize;
    const char* text;
  } cases[] = {
      {record(AF_INET, "192.168.1.20", 80), 64, "192.168.1.20"},
      {record(AF_INET, "192.168.1.20", 0), 6, "192.1"},
      {record(AF_INET6, "::1", 0), 64, "::1"},
      {record(AF_INET6, "2001:db8::5", 1756), 64, "[2001:db8::5]:1756"},
      {record(AF_INET6, "fe80::1", 0, 3), 64, "fe80::1%3"},
      {record(AF_INET6, "fe80::1", 443, 3), 64, "[fe80::1%3]:443"},
      {record(AF_INET6, "2001:db8::5", 0), 8, ""},  // does not fit: no text rather than a cut one
      {record(0, nullptr, 0), 64, "<unkonwn>"},
      {record(0, nullptr, 0), 4, "<un"},
  };
  for (const Case& c : cases) {
    char out[80];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(addressToText(reinterpret_cast<const sockaddr*>(&c.address), out, c.outSize), out);
    EXPECT_STREQ(out, c.text);
    EXPECT_EQ(out[c.outSize], '#') << c.text;
  }
}

TEST(MakeSockaddr, Table) {
  const uint8_t bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  struct Case {
    int family;
    const uint8_t* address;
    uint32_t length;
    int result;
  } cases[] = {
      {AF_INET, bytes, 4, 0},   {AF_INET, bytes, 16, -1}, {AF_INET, nullptr, 0, 0},
      {AF_INET6, bytes, 16, 0}, {AF_INET6, bytes, 4, -1}, {AF_INET6, nullptr, 0, 0},
      {0, bytes, 4, -1},
  };
  for (const Case& c : cases) {
    sockaddr_in6 out;
    std::memset(&out, 0xEE, sizeof out);
    auto* address = reinterpret_cast<sockaddr*>(&out);
    EXPECT_EQ(makeSockaddr(address, c.family, c.address, c.length, htons(1756)), c.result);
    EXPECT_EQ(address->sa_family, c.family);
    if (c.result != 0) continue;
    EXPECT_EQ(sockaddrPort(address), htons(1756));
    const void* stored = c.family == AF_INET ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(address)->sin_addr)
                                             : static_cast<const void*>(&out.sin6_addr);
    const uint8_t zeros[16] = {};
    EXPECT_EQ(std::memcmp(stored, c.address != nullptr ? c.address : zeros, c.length != 0 ? c.length : 4), 0);
  }
}

TEST(ParseAddress, Table) {
  struct Case {
    const char* text;
    uint32_t length;
    int consumed;
    int family;
    const char* address;
  } cases[] = {
      {"[::1]:1756", 0, 5, AF_INET6, "::1"},
      {"10.0.0.1:1756", 0, 8, AF_INET, "10.0.0.1"},
      {"  1.2.3.4", 0, 9, AF_INET, "1.2.3.4"},
      {"1.2.3.45", 7, 7, AF_INET, "1.2.3.4"},
      {"300.2.3.4", 0, 9, AF_INET, "44.2.3.4"},  // numbers are used as read
      {"[::1", 0, 0, 0, nullptr},
      {"[::1]", 4, 0, 0, nullptr},
      {"[not-an-address]", 0, 0, 0, nullptr},
      {"1.2.3", 0, 0, 0, nullptr},
      {"1.2..3", 0, 0, 0, nullptr},
      {"camera", 0, 0, 0, nullptr},
      {"", 0, 0, 0, nullptr},
  };
  for (const Case& c : cases) {
    sockaddr_in6 out{};
    auto* address = reinterpret_cast<sockaddr*>(&out);
    EXPECT_EQ(parseAddress(address, c.text, c.length), c.consumed) << c.text;
    if (c.consumed == 0) continue;
    EXPECT_EQ(address->sa_family, c.family) << c.text;
    char text[64];
    const void* bytes = c.family == AF_INET ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(address)->sin_addr)
                                            : static_cast<const void*>(&out.sin6_addr);
    EXPECT_STREQ(inet_ntop(c.family, bytes, text, sizeof text), c.address) << c.text;
  }

  const std::string tooLong = "[" + std::string(257, ':') + "]";
  sockaddr_in6 out{};
  EXPECT_EQ(parseAddress(reinterpret_cast<sockaddr*>(&out), tooLong.c_str(), 0), 0);
}

TEST(SockaddrPort, SharedByBothFamilies) {
  EXPECT_EQ(sockaddrLength(), 28);
  for (int family : {AF_INET, AF_INET6}) {
    sockaddr_in6 storage = record(family, family == AF_INET ? "1.2.3.4" : "::2", 0);
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    setSockaddrPort(address, htons(8080));
    EXPECT_EQ(sockaddrPort(address), htons(8080));
    EXPECT_EQ(family == AF_INET ? reinterpret_cast<sockaddr_in*>(address)->sin_port : storage.sin6_port, htons(8080));
  }
}

TEST(ByteOrder, NetworkOrderModuloTheFieldWidth) {
  const unsigned long wire = _htonl(0x01020304);
  uint32_t low = static_cast<uint32_t>(wire);
  uint8_t bytes[4];
  std::memcpy(bytes, &low, 4);
  EXPECT_EQ(bytes[0], 1);
  EXPECT_EQ(bytes[3], 4);
  EXPECT_EQ(_htonl(_htonl(0xA1B2C3D4)), 0xA1B2C3D4u);
  EXPECT_EQ(_htonl(static_cast<unsigned long>(0x100000001ull)), _htonl(1));
  EXPECT_EQ(_htons(0x1234), htons(0x1234));
}

}  // namespace
}  // namespace zelkit::detail
