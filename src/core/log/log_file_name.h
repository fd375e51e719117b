#pragma once

#include <cstdint>
#include <string>

namespace zelkit::detail {

// The name of a connection's log file, without directories: the dotted
// address for a non-zero IPv4 address (network order), else the host text
// with every character but ASCII letters and digits as '_' (at most 63 of
// them); then "_<port>" for a client connection on a port other than 1756,
// 80 and 443; then ".log".
std::string logFileName(uint32_t ipv4Address, const char* host, uint16_t port, bool serverSide);

}  // namespace zelkit::detail
