#pragma once

#include <cstdint>

#include "platform/socket.h"

// IPv4 multicast group membership of a datagram socket, on the interface the
// system chooses for the group. Both joins first switch IP_MULTICAST_ALL
// off, so that the socket receives only the groups it joined and not every
// group some other socket joined on its port. Addresses in network order;
// 0 on success, else -1 with the last error set.
namespace zelkit::platform {

// Any-source join (IP_ADD_MEMBERSHIP).
int joinMulticastGroup(Socket socket, uint32_t group);

// Source-specific join (IP_ADD_SOURCE_MEMBERSHIP): only datagrams that the
// source sends to the group arrive.
int joinSourceGroup(Socket socket, uint32_t group, uint32_t source);

}  // namespace zelkit::platform
