#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// Base64, Basic credentials, socket addresses and socket-option helpers.
namespace zelkit::detail {

char* base64Encode(const uint8_t* data, std::size_t length, char* out, std::size_t outSize);
uint8_t* base64Decode(const char* text, int length, uint8_t* out, std::size_t outSize);
// Base64 of "user:password" for HTTP Basic authorization, on one line.
char* encodeBasicCredentials(const char* user, const char* password, char* out, std::size_t outSize);

// "a.b.c.d" for IPv4, the platform's text for IPv6, "<unkonwn>" otherwise;
// "" when the conversion fails.
char* addressToText(const sockaddr* address, char* out, uint32_t outSize);
// 0 or -1 (wrong family or address length).
int makeSockaddr(sockaddr* out, int family, const uint8_t* address, uint32_t addressLength, uint16_t port);
// Characters consumed, 0 on failure.
int parseAddress(sockaddr* out, const char* text, uint32_t length);

// The 28-byte storage used for IPv4 and IPv6 addresses alike.
constexpr int sockaddrLength() { return static_cast<int>(sizeof(sockaddr_in6)); }
void setSockaddrPort(sockaddr* address, uint16_t networkOrderPort);
uint16_t sockaddrPort(const sockaddr* address);
int setSocketFlag(platform::Socket socket, int level, int option, unsigned char value);

}  // namespace zelkit::detail
