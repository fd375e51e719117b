#include "platform/multicast.h"

#include <netinet/in.h>

namespace zelkit::platform {

namespace {

int receiveJoinedGroupsOnly(Socket socket) {
  const int off = 0;
  return setSocketOption(socket, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
}

}  // namespace

int joinMulticastGroup(Socket socket, uint32_t group) {
  if (receiveJoinedGroupsOnly(socket) != 0) return -1;
  ip_mreq request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return setSocketOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
}

int joinSourceGroup(Socket socket, uint32_t group, uint32_t source) {
  if (receiveJoinedGroupsOnly(socket) != 0) return -1;
  // By field name: Linux orders the three addresses differently from Windows.
  ip_mreq_source request{};
  request.imr_multiaddr.s_addr = group;
  request.imr_sourceaddr.s_addr = source;
  request.imr_interface.s_addr = htonl(INADDR_ANY);
  return setSocketOption(socket, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &request, sizeof request);
}

}  // namespace zelkit::platform
