// The media tunnel: a client's TCP connection to an HTTP port of the server
// that opens with "GET /media_tunnel/..." becomes the socket of the stream
// it names.
#include "core/http/http_head.h"
#include "server/media/connect_descriptor.h"
#include "server/media/media_socket.h"
#include "server/streaming/back_channel_receiver.h"
#include "server/streaming/media_tables.h"
#include "server/streaming/media_tunnel_target.h"

namespace zelkit {

namespace {

constexpr int LINE_OUT_OF_RANGE = -2;
constexpr int NO_SUCH_SESSION = -3;
constexpr int INDEX_BEYOND_REPLY = -4;
constexpr int NO_SUCH_STREAM = -5;
constexpr int STREAM_NOT_WAITING = -6;
constexpr uint8_t BACK_CHANNEL = 0x80;

}  // namespace

int RtpStreamerSession::attachMediaTunnel(int32_t socket, detail::SslContext** tls, const char* request,
                                          int length) {
  detail::MediaTunnelTarget target;
  detail::readMediaTunnelTarget(request, length, target);
  if (!detail::isMediaLine(target.line)) return LINE_OUT_OF_RANGE;

  RtpStreamerSessionRef found;
  {
    detail::MediaTables& tables = detail::mediaTables();
    detail::CriticalSectionLock table(&tables.lock);
    auto match = [&](RtpStreamerSession* session) {
      if (!found && session->sessionId_ == target.sessionId) found = session->handle();
    };
    if (target.line != 0 || target.argument != 0)
      tables.forEachInLine(static_cast<int>(target.line), match);
    else
      tables.forEachSession(match);
  }
  if (!found) return NO_SUCH_SESSION;
  RtpStreamerSession& session = *found.get();

  int64_t stream;
  if (target.index > 0) {
    const int descriptor = session.descriptorAtReplyItem(target.index);
    if (descriptor < 0) return INDEX_BEYOND_REPLY;
    stream = static_cast<int64_t>(session.descriptors_[descriptor].type) - 1;
  } else {
    stream = static_cast<int64_t>(target.type) - 1;
    const detail::MediaSocket* video = session.sockets_[0];
    // A second video stream is asked for as video too.
    if (target.type == RtpStreamDescriptor::Video &&
        (video == nullptr || video->currentState() != detail::MediaSocketState::Connecting))
      stream = 2;
  }
  if (stream < 0 || stream >= STREAMS) return NO_SUCH_STREAM;
  detail::MediaSocket* socketOfStream = session.sockets_[stream];
  if (socketOfStream == nullptr || socketOfStream->currentState() != detail::MediaSocketState::Connecting)
    return STREAM_NOT_WAITING;

  detail::SslContext* moved = nullptr;
  if (session.descriptorCount_ > 0 &&
      (session.descriptors_[0].connectFlags & detail::DescriptorFlags::MediaTls) != 0) {
    moved = *tls;
    *tls = nullptr;
  }
  // What came behind the head is the stream's: the client may send at once.
  const int headEnd = detail::findHeadEnd(request, length, 4);
  {
    detail::CriticalSectionLock io(&socketOfStream->ioLock);
    socketOfStream->attachTunnel(socket, moved);
    if (headEnd > 0 && headEnd < length) socketOfStream->holdBytes(request + headEnd, length - headEnd);
  }

  if (session.socketsReady()) {
    detail::BackChannelReceiver* receiver = detail::serverBackChannel();
    if (receiver != nullptr && session.descriptorCount_ > 0 &&
        (session.descriptors_[0].transportOptions & BACK_CHANNEL) != 0)
      receiver->add(found);
    session.onConnectionEstablished();
  }
  return 0;
}

}  // namespace zelkit
