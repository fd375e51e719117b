#include "platform/socket_io.h"

#include <algorithm>
#include <cstring>

#include <sys/socket.h>

#include "platform/icmp_socket.h"

namespace zelkit::platform {

namespace {

// Copies a received address into the caller's buffer, as far as it holds it.
void storeAddress(const sockaddr_storage& address, socklen_t length, sockaddr* out, int* outLength) {
  const socklen_t room = static_cast<socklen_t>(std::max(*outLength, 0));
  std::memcpy(out, &address, std::min(length, room));
  *outLength = static_cast<int>(length);
}

}  // namespace

ssize_t receiveOnce(const SocketSlot& slot, void* buffer, size_t length, sockaddr* from, int* fromLength,
                    bool peek, bool& truncated) {
  const int flags = MSG_DONTWAIT | (peek ? MSG_PEEK : 0);
  if (slot.icmpDatagram) return receiveIcmpReply(slot.fd, buffer, length, from, fromLength, flags, truncated);
  iovec piece{buffer, length};
  sockaddr_storage sender;
  msghdr message{};
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  if (from != nullptr && fromLength != nullptr) {
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
  }
  const ssize_t received = recvmsg(slot.fd, &message, flags);
  if (received < 0) return -1;
  truncated = (message.msg_flags & MSG_TRUNC) != 0;
  if (message.msg_name != nullptr) storeAddress(sender, message.msg_namelen, from, fromLength);
  return received;
}

ssize_t sendOnce(int fd, const iovec* pieces, int count, const sockaddr* to, int toLength, bool moreFollows) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(pieces);
  message.msg_iovlen = static_cast<size_t>(count);
  if (to != nullptr) {
    message.msg_name = const_cast<sockaddr*>(to);
    message.msg_namelen = nativeAddressLength(to, toLength);
  }
  return sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT | (moreFollows ? MSG_MORE : 0));
}

socklen_t nativeAddressLength(const sockaddr* address, int length) {
  if (length < 0) return 0;
  const auto given = static_cast<socklen_t>(length);
  if (address->sa_family == AF_INET) return std::min<socklen_t>(given, sizeof(sockaddr_in));
  if (address->sa_family == AF_INET6) return std::min<socklen_t>(given, sizeof(sockaddr_in6));
  return given;
}

}  // namespace zelkit::platform
