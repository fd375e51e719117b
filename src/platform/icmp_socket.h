#pragma once

#include <cstddef>

#include <sys/socket.h>
#include <sys/types.h>

#include "platform/socket.h"

// The unprivileged datagram ICMP socket and the IPv4 header it lacks.
namespace zelkit::platform {

// The datagram ICMP socket alone (openIcmpSocket falls back to it).
Socket openIcmpDatagramSocket();

// One reply from a datagram ICMP socket as a raw socket would deliver it:
// a 20-byte IPv4 header (source address at bytes 12-15) and the ICMP
// message from byte 20. Returns the bytes stored, or -1 with errno set.
ssize_t receiveIcmpReply(int fd, void* buffer, size_t length, sockaddr* from, int* fromLength, int flags,
                         bool& truncated);

}  // namespace zelkit::platform
