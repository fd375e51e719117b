// Packets on a media socket: whole datagrams, or TPKT frames (03 00, then
// the 16-bit frame length that counts these 4 bytes) on a stream.
#include <algorithm>

#include "core/wire/byte_io.h"
#include "platform/errors.h"
#include "server/media/media_frame_reader.h"
#include "server/media/media_socket.h"

namespace zelkit::detail {

int MediaSocket::receive() {
  CriticalSectionLock guard(&ioLock);
  if (!isOpen() || receiveBuffer == nullptr) return -1;
  if (framed == 0) {
    // A datagram longer than the buffer is dropped and reported (-1), never cut.
    return platform::receiveAvailable(handle(), receiveBuffer->data, MEDIA_PACKET_CAPACITY);
  }
  const int result =
      readMediaFrame(*receiveBuffer, [this](uint8_t* into, int wanted) { return recvRaw(into, wanted); });
  if (result < 0) close();
  return result;
}

int MediaSocket::send(const void* packet, int length) {
  CriticalSectionLock guard(&ioLock);
  if (length < 0) return -1;
  if (framed == 0) {
    return platform::sendDatagram(handle(), packet, length, reinterpret_cast<const sockaddr*>(&destination),
                                  sizeof destination);
  }
  if (length > MEDIA_FRAMED_PACKET_MAX) return -1;
  switch (currentState()) {
    case MediaSocketState::Ready:
    case MediaSocketState::Open:
      break;
    case MediaSocketState::RequestPending:
      // The request opens the connection; the packet waits behind it.
      if (sendTunnelRequest() < 0) return -1;
      break;
    default:
      return -1;
  }
  return sendFrame(packet, length);
}

int MediaSocket::sendFrame(const void* packet, int length) {
  uint8_t frame[MEDIA_FRAME_MAX];
  frame[0] = 0x03;
  frame[1] = 0x00;
  writeBE16(frame + 2, static_cast<uint16_t>(length + MEDIA_FRAME_HEADER));
  if (noDelay != 0 && length < MEDIA_PACKET_MAX) {
    // Without Nagle a header sent alone would leave as a packet of its own.
    std::copy_n(static_cast<const uint8_t*>(packet), length, frame + MEDIA_FRAME_HEADER);
    const int sent = sendRaw(frame, length + MEDIA_FRAME_HEADER);
    return sent > 0 ? sent - MEDIA_FRAME_HEADER : sent;
  }
  if (sendRaw(frame, MEDIA_FRAME_HEADER) < 0) return -1;
  return sendRaw(packet, length);
}

}  // namespace zelkit::detail
