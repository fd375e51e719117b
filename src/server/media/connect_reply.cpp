// The device's answer to a connect request: the accepted streams get their
// sockets and ciphers, and the application its connect result.
#include <exception>

#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/byte_io.h"
#include "server/media/connect_reply_reader.h"
#include "server/media/rtp_streamer_private.h"
#include "zelkit/exceptions.h"

namespace zelkit::detail {

void RtpStreamerPrivate::onConnectReply(void* context, ZelHeader& header, ZelInputStream& payload) {
  auto* streamer = static_cast<RtpStreamer*>(context);
  RtpStreamerPrivate& media = *streamer->private_;
  ZelHeader result(MediaCommand::ConnectResult, header.mode, 0, 0, header.sessionId, 0);
  result.errorCode = header.errorCode;
  {
    GlobalLock lock;
    streamer->setSessionId(header.sessionId);
  }

  const bool nvrReply = header.tag == MediaCommand::ConnectNvrVideo;
  uint32_t kinds[2] = {};  // receive kinds, send kinds
  ConnectReplyReader reader(payload);
  try {
    for (ConnectReplyReader::Item item; (item = reader.next()) != ConnectReplyReader::Item::End;) {
      if (item == ConnectReplyReader::Item::Key) {
        const ReplyKey& key = reader.key();
        media.receiver->installCipher(key.clientSends, key.stream, key.key);
        continue;
      }
      const ReplyStream& accepted = reader.stream();
      kinds[accepted.clientSends] |= accepted.kind;
      media.applyReplyStream(*streamer, accepted, header.sessionId, nvrReply);
    }
  } catch (Exception*) {
    core().log(streamer->controlConnection(), "rtps", "Error configuring sockets at pos %d", payload.pos());
  } catch (const std::exception&) {
    core().log(streamer->controlConnection(), "rtps", "Error configuring sockets at pos %d", payload.pos());
  }

  ZelCallback callback;
  void* callbackContext;
  {
    GlobalLock lock;
    callback = media.connectCallback;
    callbackContext = media.connectContext;
  }
  if (callback == nullptr) return;
  uint8_t counts[16] = {};
  writeBE32(counts + 8, kinds[1]);
  writeBE32(counts + 12, kinds[0]);
  ZelInputStream outcome(counts, sizeof counts);
  callback(callbackContext, result, outcome);
}

void RtpStreamerPrivate::applyReplyStream(RtpStreamer& streamer, const ReplyStream& accepted, uint32_t sessionId,
                                          bool nvrReply) {
  // The recorder's stream runs on the socket opened with its request.
  if (nvrReply) return;
  CriticalSectionLock setup(&setupLock);
  const bool tcp = receiver->tcpMode != 0;
  openStreamSocket(streamer, accepted.stream, reinterpret_cast<const sockaddr*>(&accepted.address), accepted.port,
                   accepted.clientSends, 0xFFFFFFFF, tcp);
  if (tcp) prepareTunnel(streamer, accepted, sessionId);
}

}  // namespace zelkit::detail
