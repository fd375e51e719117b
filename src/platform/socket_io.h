#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/types.h>
#include <sys/uio.h>

#include "platform/socket_table.h"

// Single non-blocking transfers, shared by the synchronous calls and the
// completion port. Each returns the byte count, or -1 with errno set.
namespace zelkit::platform {

// One receive (at most length bytes) with the sender's address when from is
// given. truncated tells that a datagram was longer than the buffer. On a
// datagram ICMP socket the reply is preceded by a synthetic IPv4 header.
ssize_t receiveOnce(const SocketSlot& slot, void* buffer, size_t length, sockaddr* from, int* fromLength,
                    bool peek, bool& truncated);

// One send of the pieces, to the address when given; never raises SIGPIPE.
// moreFollows: the caller writes more at once, so a last partial segment
// may wait for it instead of leaving alone (MSG_MORE).
ssize_t sendOnce(int fd, const iovec* pieces, int count, const sockaddr* to, int toLength,
                 bool moreFollows = false);

// The address length Linux expects for the family (callers pass the 28-byte
// storage size for IPv4 as well).
socklen_t nativeAddressLength(const sockaddr* address, int length);

}  // namespace zelkit::platform
