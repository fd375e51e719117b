#include "server/streaming/connect_request.h"

#include <cstring>

#include "core/wire/byte_io.h"

namespace zelkit::detail {

namespace {

constexpr uint32_t MEDIA_BITS = 0x000F0000;
constexpr uint32_t MEDIA_VIDEO = 0x00010000;
constexpr uint32_t MEDIA_AUDIO = 0x00020000;
constexpr uint32_t CLIENT_SENDS = 0x01000000;
constexpr uint8_t TCP_TRANSPORT = 0x04;

}  // namespace

void readConnectRequest(const uint8_t* bytes, int length, uint32_t peerAddress, ConnectRequest& out) {
  out = ConnectRequest();
  int at = 0;
  while (out.count < ConnectRequest::MAX_STREAMS) {
    const int remaining = length - at;
    if (remaining >= EXTENSION_ITEM_SIZE && bytes[at] == EXTENSION_ITEM_MARK) {
      at += EXTENSION_ITEM_SIZE;
      continue;
    }
    if (remaining < CONNECT_DESCRIPTOR_SIZE) return;
    uint8_t* wire = out.wire[out.count];
    std::memcpy(wire, bytes + at, CONNECT_DESCRIPTOR_SIZE);
    at += CONNECT_DESCRIPTOR_SIZE;

    const uint32_t word0 = readBE32(wire);
    const uint16_t coding = readBE16(wire + 24);
    const bool wantsKey = (wire[3] & DescriptorFlags::KeysFollow) != 0;
    // The echo never carries the request for a key.
    wire[3] &= static_cast<uint8_t>(~DescriptorFlags::KeysFollow);
    uint8_t type;
    switch (word0 & MEDIA_BITS) {
      case MEDIA_VIDEO:
        type = (coding & SECOND_VIDEO_CODING) != 0 ? RtpStreamDescriptor::ThirdStream : RtpStreamDescriptor::Video;
        break;
      case MEDIA_AUDIO:
        type = RtpStreamDescriptor::Audio;
        break;
      default:
        continue;
    }
    if ((word0 & CLIENT_SENDS) != 0) continue;

    RtpStreamDescriptor& d = out.descriptors[out.count];
    d = RtpStreamDescriptor();
    d.flags = (wire[8] & TCP_TRANSPORT) != 0 ? RtpStreamDescriptor::OverTcp : 0;
    d.type = type;
    d.connectFlags = wire[3];
    d.coding = coding;
    std::memcpy(&d.port, wire + 10, 2);
    std::memcpy(&d.address, wire + 12, 4);
    d.line = wire[17];
    d.argument = wire[16];
    d.peerAddress = peerAddress;
    d.transportKind = wire[8];
    d.transportOptions = wire[9];
    wire[2] = 1;
    out.wantsKey[out.count] = wantsKey;
    ++out.count;
  }
}

}  // namespace zelkit::detail
