#pragma once

#include <cstdint>

#include "zelkit/streams.h"

// The 32-byte media connect descriptor (one per stream, in connect requests
// and echoed in their replies) and the 8-byte extension items behind it.
namespace zelkit::detail {

namespace MediaCommand {
constexpr uint32_t ConnectPrimitive = 0xFF0C0C31;
constexpr uint32_t ConnectNvrVideo = 0xE0090C31;
constexpr uint32_t DisconnectPrimitive = 0xFF0D0031;
constexpr uint32_t KeepAlive = 0xFFC20830;
constexpr uint32_t ConnectResult = 0xFFCC0C31;  // tag of the result given to the connect callback
}  // namespace MediaCommand

constexpr int CONNECT_DESCRIPTOR_SIZE = 32;
constexpr int EXTENSION_ITEM_SIZE = 8;
constexpr uint8_t EXTENSION_ITEM_MARK = 0xE0;
constexpr int STREAM_KEY_SIZE = 16;
constexpr int STREAM_KEY_ITEMS = 4;

enum MediaKind : uint8_t { MediaVideo = 1, MediaAudio = 2, MediaOther = 3 };

namespace Transport {
constexpr uint16_t Udp = 0x0100;
constexpr uint16_t TcpTunnel = 0x0400;
constexpr uint16_t RtcpAckWanted = 0x0080;  // in a reply
}  // namespace Transport

namespace DescriptorFlags {
constexpr uint8_t KeysFollow = 0x08;
constexpr uint8_t MediaTls = 0x40;
}  // namespace DescriptorFlags

// The coding word's mark of the second video stream.
constexpr uint16_t SECOND_VIDEO_CODING = 0x0010;
// The request address that asks for multicast: 224.0.0.0.
constexpr uint32_t MULTICAST_REQUEST = 0xE0000000;

struct ConnectDescriptor {
  uint8_t clientSends = 0;  // byte 0: 1 the client sends, 0 the device sends
  uint8_t media = 0;
  uint8_t status = 0;  // 1 in a reply: accepted
  uint8_t flags = 0;
  uint16_t transport = 0;
  uint16_t port = 0;      // network order, as sockets give it
  uint32_t address = 0;   // written big-endian
  uint8_t parameter = 0;  // byte 16, passed through for the application
  uint8_t line = 0;       // byte 17: the client's num
  uint16_t coding = 0;
};

void makeConnectDescriptor(uint8_t out[CONNECT_DESCRIPTOR_SIZE], const ConnectDescriptor& descriptor);
void writeConnectDescriptor(ZelOutputStream& out, const ConnectDescriptor& descriptor);
// Four key items carrying the 16 key bytes in order, then the end item.
void writeKeyItems(ZelOutputStream& out, const uint8_t key[STREAM_KEY_SIZE]);

}  // namespace zelkit::detail
