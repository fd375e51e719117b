// The server's reading of a connect request. Input: four bytes of the
// client's address, then the request payload.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "server/streaming/connect_request.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelkit::detail;
  if (size < 4) return 0;
  uint32_t peer;
  std::memcpy(&peer, data, 4);
  const size_t length = size - 4 < ConnectRequest::READ_MAX ? size - 4 : ConnectRequest::READ_MAX;
  static ConnectRequest request;
  readConnectRequest(data + 4, static_cast<int>(length), peer, request);
  require(request.count >= 0 && request.count <= ConnectRequest::MAX_STREAMS);
  require(static_cast<size_t>(request.count) * CONNECT_DESCRIPTOR_SIZE <= length);
  for (int i = 0; i < request.count; ++i) {
    const zelkit::RtpStreamDescriptor& d = request.descriptors[i];
    require(d.type >= 1 && d.type <= 3);
    require(d.direction == 0 && d.peerAddress == peer && d.line <= 0xFF);
    require(d.flags == 0 || d.flags == zelkit::RtpStreamDescriptor::OverTcp);
    require(request.wire[i][2] == 1 && (request.wire[i][3] & 0x08) == 0 && (request.wire[i][0] & 0x01) == 0);
  }
  return 0;
}
