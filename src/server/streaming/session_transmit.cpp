// Frames a media session sends: the RTP header, the stream and sequence
// counter by payload type, the stream's cipher, and a record of send
// failures in the log.
#include <cstring>
#include <vector>

#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/byte_io.h"
#include "security/cipher/crypt.h"
#include "server/media/media_socket.h"
#include "server/streaming/back_channel_receiver.h"
#include "server/streaming/media_tables.h"

namespace zelkit {

namespace {

constexpr int RTP_HEADER_SIZE = 12;
constexpr int PACKET_MAX = detail::MEDIA_PACKET_MAX;
// Room for a complete packet's encrypted copy.
constexpr int CIPHER_COPY_SIZE = 1512;
constexpr uint32_t SSRC = 0xFFFFFFFF;
constexpr int SHARED_SOCKET_SENT = 1;

// Which stream (type index) and sequence counter carry a payload type.
struct Route {
  int stream;
  int counter;
};

Route routeOf(int payloadType) {
  switch (payloadType) {
    case 0:
    case 96:
      return {1, 1};
    case 97:
      return {0, 3};
    case 98:
      return {2, 2};
    default:
      return {0, 0};
  }
}

}  // namespace

int RtpStreamerSession::transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp,
                                 int marker) {
  int multicastMask = 0;
  return transmit(type, data, length, timestamp, marker, multicastMask);
}

int RtpStreamerSession::transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp,
                                 int marker, int& multicastMask) {
  if (disconnected_.load(std::memory_order_acquire)) {
    leaveTables();  // may have deleted this session
    return -1;
  }
  const bool complete = type == RtpPacketComplete;
  if (complete && length == 0) return 0;
  if (!socketsReady()) return -3;
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (length < 0 || (length > 0 && bytes == nullptr)) return -1;
  // A complete packet is at least its header: its type is read from it.
  if (complete && (length < RTP_HEADER_SIZE || length > PACKET_MAX)) return -1;

  const int payloadType = complete ? bytes[1] & 0x7F : static_cast<int>(type);
  const Route route = routeOf(payloadType);
  detail::MediaSocket* socket = sockets_[route.stream];
  if (socket == nullptr) return -1;
  if (socket->multicast != 0) {
    if ((multicastMask & SHARED_SOCKET_SENT) != 0) return -2;
    multicastMask |= SHARED_SOCKET_SENT;
  }
  C_Cryptlfc* cipher = ciphers_[route.stream].load(std::memory_order_acquire);

  if (complete) {
    if (cipher == nullptr) return sendPacket(route.stream, bytes, length);
    uint8_t copy[CIPHER_COPY_SIZE];
    std::memcpy(copy, bytes, static_cast<size_t>(length));
    cipher->encryptRtp(copy, static_cast<uint32_t>(length));
    return sendPacket(route.stream, copy, length);
  }

  if (RTP_HEADER_SIZE + length > PACKET_MAX) return -1;
  uint8_t packet[PACKET_MAX];
  packet[0] = 0x80;
  packet[1] = static_cast<uint8_t>(payloadType | (marker != 0 ? 0x80 : 0));
  detail::writeBE16(packet + 2, sequence_[route.counter]++);
  detail::writeBE32(packet + 4, static_cast<uint32_t>(timestamp));
  detail::writeBE32(packet + 8, SSRC);
  if (length > 0) std::memcpy(packet + RTP_HEADER_SIZE, bytes, static_cast<size_t>(length));
  if (cipher != nullptr) cipher->encryptRtp(packet, static_cast<uint32_t>(RTP_HEADER_SIZE + length));
  return sendPacket(route.stream, packet, RTP_HEADER_SIZE + length);
}

int RtpStreamerSession::sendPacket(int stream, const uint8_t* packet, int length) {
  detail::MediaSocket& socket = *sockets_[stream];
  const int sent = socket.send(packet, length);
  // A run of failures is logged where it starts and where it ends.
  if (sent < 0) {
    if (socket.sendFailureRun++ == 0)
      detail::core().log(nullptr, "strm", "Start packet loss session %08x seqNo %d", sessionId_,
                         detail::readBE16(packet + 2));
  } else if (socket.sendFailureRun != 0) {
    socket.sendFailureRun = 0;
    detail::core().log(nullptr, "strm", "End packet loss session %08x seqNo %d", sessionId_,
                       detail::readBE16(packet + 2));
  }
  return sent;
}

void RtpStreamerSession::leaveTables() {
  RtpStreamerSessionRef own;
  detail::BackChannelReceiver* receiver;
  {
    detail::GlobalLock lock;
    own = self_;
    receiver = detail::serverBackChannel();
  }
  if (!own) return;
  if (receiver != nullptr) receiver->remove(this);
  {
    detail::GlobalLock lock;
    detail::CriticalSectionLock table(&detail::mediaTables().lock);
    detail::mediaTables().unlink(this);
  }
  self_.reset();
  // The last handle may go with own, and the session with it.
}

int RtpStreamerSession::multicast(int line, RtpPayloadType type, void const* data, int length,
                                  unsigned long timestamp, int marker) {
  if (!detail::isMediaLine(line)) return -1;
  // Handles taken under the lock keep every session alive while it sends,
  // even one that another thread takes out of the line meanwhile.
  std::vector<RtpStreamerSessionRef> sessions;
  {
    detail::GlobalLock lock;
    detail::MediaTables& tables = detail::mediaTables();
    detail::CriticalSectionLock table(&tables.lock);
    tables.forEachInLine(line, [&](RtpStreamerSession* session) { sessions.push_back(session->handle()); });
  }
  int multicastMask = 0;
  int reached = 0;
  for (RtpStreamerSessionRef& session : sessions) {
    const int result = session->transmit(type, data, length, timestamp, marker, multicastMask);
    if (result >= 0 || result == -2) ++reached;
  }
  return reached;
}

}  // namespace zelkit
