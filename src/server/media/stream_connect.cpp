// Asking the device for media streams, keeping the media session alive and
// ending it.
#include <algorithm>

#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/conversions.h"
#include "security/rsa/random.h"
#include "server/media/rtp_streamer_private.h"

namespace zelkit {

namespace {

constexpr uint32_t KEEP_ALIVE_MS = 4000;
constexpr uint32_t SOURCE_IS_DEVICE = 0xFFFFFFFF;

uint16_t when(bool condition, uint16_t bits) { return condition ? bits : 0; }

}  // namespace

void RtpStreamer::connectVideo(int timeoutMs, unsigned short flags, unsigned char streamParameter,
                               unsigned long sendMask, unsigned long receiveMask, ZelCallback callback, void* context) {
  const unsigned f = flags;
  const uint16_t transport =
      static_cast<uint16_t>((f & 0x0008 ? 0x0400 : 0x0100) | when(f & 0x0001, 0x0001) | when(f & 0x8000, 0x0002));
  const uint16_t videoCoding = when(f & 0x0002, 0x0004) | when(f & 0x0004, 0x8008) | when(f & 0x0200, 0x0040) |
                               when(f & 0x0400, 0x0080) | when(f & 0x0010, 0x4000);
  const uint16_t audioCoding = when(f & 0x0002, 0x0001) | when(f & 0x0004, 0x8000) |
                               when(f & (0x0200 | 0x0400), 0x0001) | when(f & 0x0010, 0x4000) |
                               when(f & 0x0800, 0x0010) | when(f & 0x1000, 0x0002);
  const uint16_t secondVideoCoding = f & 0x0040 ? (0x0010 | when(f & 0x0010, 0x4000)) : 0;
  const bool multicastRequest = (f & (0x0008 | 0x0020)) == 0;
  const auto send = static_cast<uint32_t>(sendMask);
  const uint8_t flagsByte = static_cast<uint8_t>(send >> 24);
  private_->rtcpAckWanted = 1;
  private_->connectPrimitive(*this, timeoutMs, transport, audioCoding, videoCoding, secondVideoCoding, multicastRequest,
                             flagsByte, streamParameter, send, static_cast<uint32_t>(receiveMask), callback, context);
  private_->startKeepAlive(*this);
}

void RtpStreamer::connectVideo(int timeoutMs, unsigned long options, unsigned long videoCoding,
                               unsigned long audioCoding, unsigned long, unsigned char streamParameter,
                               unsigned long sendMask, unsigned long receiveMask, ZelCallback callback, void* context) {
  const auto o = static_cast<uint32_t>(options);
  const uint16_t extended = when(o & 0x02000000, 0x4000);
  const uint16_t secondVideoCoding = o & 0x01000000 ? (0x0010 | extended) : 0;
  const bool multicastRequest = (o & (0x00000400 | 0x04000000)) == 0;
  private_->rtcpAckWanted = (o & 0x08000000) != 0 ? 0 : 1;
  private_->connectPrimitive(*this, timeoutMs, static_cast<uint16_t>(o), static_cast<uint16_t>(audioCoding) | extended,
                             static_cast<uint16_t>(videoCoding) | extended, secondVideoCoding, multicastRequest,
                             static_cast<uint8_t>(o >> 16), streamParameter, static_cast<uint32_t>(sendMask),
                             static_cast<uint32_t>(receiveMask), callback, context);
  private_->startKeepAlive(*this);
}

void RtpStreamer::connectNvrVideo(int timeoutMs, unsigned long value, ZelCallback callback, void* context) {
  // The recorder streams video over UDP whatever an earlier request asked for.
  private_->openStreamSocket(*this, 0, nullptr, 0, 0, SOURCE_IS_DEVICE, false);
  ZelOutputStream payload;
  payload.writeULong(value);
  detail::ConnectDescriptor video;
  video.media = detail::MediaVideo;
  video.transport = detail::Transport::Udp;
  {
    detail::CriticalSectionLock setup(&private_->setupLock);
    video.port = private_->localPort[0];
  }
  detail::writeConnectDescriptor(payload, video);
  private_->setConnectCallback(callback, context);
  sendRequest(timeoutMs, detail::MediaCommand::ConnectNvrVideo, payload, detail::RtpStreamerPrivate::onConnectReply,
              this);
  private_->startKeepAlive(*this);
}

void RtpStreamer::connectStream(unsigned long source, unsigned long const* addresses, unsigned short const* ports,
                                int count) {
  for (int stream = 0; stream < std::min(count, detail::STREAM_COLUMNS); ++stream) {
    const auto address = static_cast<uint32_t>(addresses[stream]);
    sockaddr_in6 group{};
    detail::makeSockaddr(reinterpret_cast<sockaddr*>(&group), AF_INET, reinterpret_cast<const uint8_t*>(&address), 4,
                         0);
    private_->openStreamSocket(*this, stream, reinterpret_cast<sockaddr*>(&group), ports[stream], 0,
                               static_cast<uint32_t>(source), false);
  }
}

void RtpStreamer::disconnectVideo() {
  sendUnawaited(detail::MediaCommand::DisconnectPrimitive);
  private_->closeAllStreams();
  {
    detail::GlobalLock lock;
    setSessionId(0);
  }
  detail::core().setTimer(0, 0, detail::RtpStreamerPrivate::onKeepAliveTimer, this, nullptr);
}

int RtpStreamer::setEncryptionKey(ConnectChannels channel, bool flag, void* key, int) {
  const int slot = channel == ChannelSendVideoAlias ? ChannelSendVideo : channel;
  if (slot < ChannelVideo || slot > ChannelSendVideo || key == nullptr) return -1;
  if (flag) return -2;
  if (slot == ChannelSendVideo)
    private_->receiver->installCipher(detail::SEND_ROW, 0, static_cast<const uint8_t*>(key));
  else
    private_->receiver->installCipher(detail::RECEIVE_ROW, slot, static_cast<const uint8_t*>(key));
  return 0;
}

namespace detail {

void RtpStreamerPrivate::connectPrimitive(RtpStreamer& streamer, int timeoutMs, uint16_t transport,
                                          uint16_t audioCoding, uint16_t videoCoding, uint16_t secondVideoCoding,
                                          bool multicastRequest, uint8_t flags, uint8_t parameter, uint32_t sendMask,
                                          uint32_t receiveMask, ZelCallback callback, void* context) {
  const bool tcp = (transport & Transport::TcpTunnel) != 0;
  {
    CriticalSectionLock setup(&setupLock);
    receiver->tcpMode = tcp ? 1 : 0;
  }
  if (!tcp) {
    for (int stream = 0; stream < STREAM_COLUMNS; ++stream)
      openStreamSocket(streamer, stream, nullptr, 0, 0, SOURCE_IS_DEVICE, false);
  }
  if (streamer.isEncrypted()) flags |= DescriptorFlags::KeysFollow;

  uint16_t ports[STREAM_COLUMNS];
  {
    CriticalSectionLock setup(&setupLock);
    std::copy(localPort, localPort + STREAM_COLUMNS, ports);
  }
  const uint32_t address = multicastRequest ? MULTICAST_REQUEST : 0;
  const uint8_t audioParameter = (videoCoding & 0x4000) != 0 ? parameter : 0;
  ConnectDescriptor common;
  common.flags = flags;
  common.transport = transport;
  common.line = static_cast<uint8_t>(streamer.getNum());
  auto descriptor = [&](uint8_t clientSends, uint8_t media, uint16_t port, uint8_t byte16, uint16_t coding,
                        uint32_t requestAddress) {
    ConnectDescriptor d = common;
    d.clientSends = clientSends;
    d.media = media;
    d.port = port;
    d.parameter = byte16;
    d.coding = coding;
    d.address = requestAddress;
    return d;
  };

  ZelOutputStream payload;
  const bool keys = (flags & DescriptorFlags::KeysFollow) != 0;
  auto withKey = [&](const ConnectDescriptor& d, int column) {
    writeConnectDescriptor(payload, d);
    if (keys) makeStreamKey(payload, column);
  };
  if (receiveMask & 1)
    writeConnectDescriptor(payload, descriptor(0, MediaVideo, ports[0], parameter, videoCoding, address));
  if (receiveMask & 4) writeConnectDescriptor(payload, descriptor(0, MediaOther, 0, parameter, 0x0001, 0));
  if (receiveMask & 2)
    writeConnectDescriptor(payload, descriptor(0, MediaAudio, ports[1], audioParameter, audioCoding, address));
  if (receiveMask != 0 && secondVideoCoding != 0)
    writeConnectDescriptor(payload, descriptor(0, MediaVideo, ports[2], audioParameter, secondVideoCoding, address));
  if (sendMask & 1) withKey(descriptor(1, MediaVideo, 0, parameter, videoCoding, address), 0);
  if (sendMask & 4) writeConnectDescriptor(payload, descriptor(1, MediaOther, 0, parameter, 0x0001, 0));
  if (sendMask & 2) withKey(descriptor(1, MediaAudio, 0, 0, 0x0001, 0), 1);
  if ((sendMask & 0xFFFF) != 0 && secondVideoCoding != 0)
    withKey(descriptor(1, MediaVideo, 0, 0, secondVideoCoding, address), 2);

  setConnectCallback(callback, context);
  streamer.sendRequest(timeoutMs, MediaCommand::ConnectPrimitive, payload, onConnectReply, &streamer);
}

void RtpStreamerPrivate::makeStreamKey(ZelOutputStream& payload, int column) {
  uint8_t key[STREAM_KEY_SIZE];
  randomBytes(key, STREAM_KEY_SIZE);
  receiver->installCipher(SEND_ROW, column, key);
  writeKeyItems(payload, key);
}

void RtpStreamerPrivate::setConnectCallback(ZelCallback callback, void* context) {
  GlobalLock lock;
  connectCallback = callback;
  connectContext = context;
}

void RtpStreamerPrivate::startKeepAlive(RtpStreamer& streamer) {
  core().setTimer(KEEP_ALIVE_MS, KEEP_ALIVE_MS, onKeepAliveTimer, &streamer, nullptr);
}

void RtpStreamerPrivate::onKeepAliveTimer(void* context, ZelHeader&, ZelInputStream&) {
  auto* streamer = static_cast<RtpStreamer*>(context);
  uint32_t sessionId;
  {
    GlobalLock lock;
    sessionId = static_cast<uint32_t>(streamer->getSessionId());
  }
  if (sessionId != 0) streamer->sendUnawaited(MediaCommand::KeepAlive);
}

}  // namespace detail

}  // namespace zelkit
