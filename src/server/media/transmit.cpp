// RTP packets the application sends: header, sequence counter, cipher and
// socket by payload type.
#include <cstring>

#include "core/wire/byte_io.h"
#include "server/media/rtp_streamer_private.h"

namespace zelkit {

namespace {

// Where packets of one payload type go.
struct Route {
  int row;
  int column;
  int counter;
  int headerLength;
};

bool routeOf(int type, Route& route) {
  switch (type) {
    case 0:
    case 96:
    case 99:
      route = {detail::SEND_ROW, 1, 1, 12};
      return true;
    case 26:
    case 31:
    case 34:
    case 35:
      route = {detail::SEND_ROW, 0, 0, 12};
      return true;
    case 32:
    case 33:
      route = {detail::SEND_ROW, 0, 0, 16};
      return true;
    case 73:
      route = {detail::RECEIVE_ROW, 0, 0, 12};
      return true;
    case 97:
      route = {detail::SEND_ROW, 0, 3, 12};
      return true;
    case 98:
      route = {detail::SEND_ROW, 2, 2, 12};
      return true;
    default:
      return false;
  }
}

constexpr uint32_t SSRC = 0xFFFFFFFF;

}  // namespace

int RtpStreamer::transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp, int marker) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  const bool complete = type == RtpPacketComplete;
  if (length < 0 || (length > 0 && bytes == nullptr)) return -1;
  if (complete && (length < detail::RTP_HEADER_SIZE || length > detail::MEDIA_PACKET_MAX)) return -1;
  Route route;
  if (!routeOf(complete ? bytes[1] & 0x7F : type, route)) return -1;

  // Built, or copied, here: the caller's packet is never encrypted in place.
  uint8_t packet[detail::MEDIA_PACKET_MAX];
  int packetLength = length;
  if (complete) {
    std::memcpy(packet, bytes, static_cast<std::size_t>(length));
  } else {
    if (route.headerLength + length > detail::MEDIA_PACKET_MAX) return -1;
    std::memset(packet, 0, static_cast<std::size_t>(route.headerLength));
    packet[0] = 0x80;
    packet[1] = static_cast<uint8_t>(type | (marker != 0 ? 0x80 : 0));
    uint16_t& sequence = private_->sequence[route.counter];
    detail::writeBE16(packet + 2, sequence++);
    detail::writeBE32(packet + 4, static_cast<uint32_t>(timestamp));
    detail::writeBE32(packet + 8, SSRC);
    if (length > 0) std::memcpy(packet + route.headerLength, bytes, static_cast<std::size_t>(length));
    packetLength = route.headerLength + length;
  }
  detail::StreamReceiver& streams = *private_->receiver;
  streams.applyCipher(route.row, route.column, packet, packetLength, false);
  return streams.sockets[route.row][route.column].send(packet, packetLength);
}

int RtpStreamer::transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp) {
  return transmit(type, data, length, timestamp, 0);
}

}  // namespace zelkit
