// The media sockets of a streamer's streams: UDP, UDP multicast, or TCP
// through the device's HTTP port.
#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/conversions.h"
#include "core/wire/exception_table.h"
#include "platform/errors.h"
#include "platform/multicast.h"
#include "server/media/connect_reply_reader.h"
#include "server/media/media_tunnel_request.h"
#include "server/media/rtp_streamer_private.h"
#include "zelkit/exceptions.h"

namespace zelkit::detail {

namespace {

constexpr int VIDEO_RECEIVE_BUFFER = 524288;
constexpr int OTHER_RECEIVE_BUFFER = 32768;
constexpr uint16_t HTTP_PORT = 80;
constexpr int CREDENTIALS_BUFFER = 1024;
constexpr uint32_t SOURCE_IS_DEVICE = 0xFFFFFFFF;

[[noreturn]] void failSetUp() { throw sharedException<ConnectionErrorException>(); }

bool isMulticast(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (reinterpret_cast<const uint8_t*>(&v4->sin_addr)[0] & 0xE0) == 0xE0;
  }
  if (address->sa_family == AF_INET6)
    return reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr[0] == 0xFF;
  return false;
}

uint32_t ipv4Of(const sockaddr_in6& address) {
  if (address.sin6_family != AF_INET) return 0;
  return reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr;
}

}  // namespace

ControlPeer controlPeerOf(Connection* connection) {
  GlobalLock lock;
  ControlPeer peer;
  peer.address = connection->address;
  peer.encrypted = connection->tls;
  return peer;
}

void RtpStreamerPrivate::openStreamSocket(RtpStreamer& streamer, int stream, const sockaddr* address, uint16_t port,
                                          int clientSends, uint32_t source, bool tcp) {
  CriticalSectionLock setup(&setupLock);
  const ControlPeer peer = controlPeerOf(streamer.controlConnection());
  MediaSocket& socket = receiver->sockets[clientSends][stream];
  if (tcp) {
    openTcpStream(peer, stream, clientSends);
  } else if (clientSends != 0) {
    openUdpSend(peer, stream, port);
  } else {
    openUdpReceive(streamer, peer, stream, address, port, source);
  }
  CriticalSectionLock io(&socket.ioLock);
  socket.multicast = address != nullptr && isMulticast(address) ? 1 : 0;
}

void RtpStreamerPrivate::openTcpStream(const ControlPeer& peer, int stream, int clientSends) {
  sockaddr_in6 device = peer.address;
  // A device reached on its protocol port takes media on its HTTP port.
  if (ntohs(sockaddrPort(reinterpret_cast<sockaddr*>(&device))) == DEFAULT_ZEL_PORT)
    setSockaddrPort(reinterpret_cast<sockaddr*>(&device), htons(HTTP_PORT));
  MediaSocket& socket = receiver->sockets[clientSends][stream];
  // Closing first wakes a thread still blocked on the old connection.
  if (clientSends == 0)
    closeReceiveStream(stream);
  else
    socket.close();

  CriticalSectionLock io(&socket.ioLock);
  socket.reset(&receiver->readSet);
  socket.tunnelRequest.clear();
  socket.framed = 1;
  const platform::Socket handle = platform::openSocket(peer.family(), SOCK_STREAM, 0);
  if (handle == platform::InvalidSocket) failSetUp();
  platform::setNonBlocking(handle, true);
  socket.socket.store(handle, std::memory_order_release);
  socket.setNoDelay();
  if (platform::connectSocket(handle, reinterpret_cast<const sockaddr*>(&device), sockaddrLength()) != 0 &&
      platform::lastError() != platform::wsa::WouldBlock) {
    socket.close();
    failSetUp();
  }
  platform::setNonBlocking(handle, false);
  socket.setState(MediaSocketState::Connecting);
}

void RtpStreamerPrivate::openUdpSend(const ControlPeer& peer, int stream, uint16_t port) {
  MediaSocket& socket = receiver->sockets[SEND_ROW][stream];
  socket.close();
  CriticalSectionLock io(&socket.ioLock);
  socket.reset(&receiver->readSet);
  const platform::Socket handle = platform::openSocket(peer.family(), SOCK_DGRAM, 0);
  if (handle == platform::InvalidSocket) failSetUp();
  socket.socket.store(handle, std::memory_order_release);
  socket.destination = peer.address;
  setSockaddrPort(reinterpret_cast<sockaddr*>(&socket.destination), port);
  socket.setState(MediaSocketState::Ready);
}

void RtpStreamerPrivate::openUdpReceive(RtpStreamer& streamer, const ControlPeer& peer, int stream,
                                        const sockaddr* address, uint16_t port, uint32_t source) {
  MediaSocket& socket = receiver->sockets[RECEIVE_ROW][stream];
  const bool multicast = address != nullptr && isMulticast(address);
  // The device may answer with the port the socket has already.
  const bool keep = port != 0 && port == localPort[stream] && socket.isOpen();
  if (!keep) {
    closeReceiveStream(stream);
    uint16_t bound = 0;
    const platform::Socket handle = core().getUdpSocket(peer.family(), port, &bound, multicast);
    if (handle == platform::InvalidSocket) failSetUp();
    const int size = stream == 0 ? VIDEO_RECEIVE_BUFFER : OTHER_RECEIVE_BUFFER;
    if (platform::setSocketOption(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
      core().log(streamer.controlConnection(), "rtps", "Error %d  on SO_RCVBUF",
                 static_cast<int>(platform::lastError()));
      platform::closeSocket(handle);
      failSetUp();
    }
    CriticalSectionLock io(&socket.ioLock);
    socket.socket.store(handle, std::memory_order_release);
    localPort[stream] = bound;
  }
  CriticalSectionLock io(&socket.ioLock);
  socket.reset(&receiver->readSet);
  if (multicast) joinGroup(streamer, peer, socket, address, source);
  socket.setState(MediaSocketState::Ready);
  receiver->readSet.add(socket.handle());
}

void RtpStreamerPrivate::joinGroup(RtpStreamer& streamer, const ControlPeer& peer, MediaSocket& socket,
                                   const sockaddr* group, uint32_t source) {
  const uint32_t groupAddress =
      group->sa_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(group)->sin_addr.s_addr : 0;
  if (source != 0) {
    const uint32_t sender = source == SOURCE_IS_DEVICE ? ipv4Of(peer.address) : source;
    if (platform::joinSourceGroup(socket.handle(), groupAddress, sender) != 0) source = 0;
  }
  if (source == 0 && platform::joinMulticastGroup(socket.handle(), groupAddress) != 0) {
    core().log(streamer.controlConnection(), "rtps", "Error %d  on IP_ADD_MEMBERSHIP",
               static_cast<int>(platform::lastError()));
    failSetUp();
  }
}

void RtpStreamerPrivate::prepareTunnel(RtpStreamer& streamer, const ReplyStream& accepted, uint32_t sessionId) {
  MediaSocket& socket = receiver->sockets[accepted.clientSends][accepted.stream];
  const ControlPeer peer = controlPeerOf(streamer.controlConnection());
  char credentials[CREDENTIALS_BUFFER];
  {
    GlobalLock lock;
    streamer.controlConnection()->basicCredentials(credentials, sizeof credentials);
  }
  CriticalSectionLock io(&socket.ioLock);
  if (peer.encrypted && (accepted.flags & DescriptorFlags::MediaTls) != 0 && !socket.startSsl()) failSetUp();
  socket.tunnelRequest = mediaTunnelRequest(sessionId, accepted.kind, accepted.clientSends == 0 ? 1 : 0, accepted.line,
                                            accepted.parameter, accepted.itemIndex, credentials);
  socket.setState(MediaSocketState::RequestPending);
  socket.rtcpAck = rtcpAckWanted != 0 && (accepted.transport & Transport::RtcpAckWanted) != 0 ? 1 : 0;
  // Watched for its connect; a close takes it out of this set.
  if (accepted.clientSends == 0) socket.awaitTunnel(&receiver->connectSet, &receiver->readSet);
}

void RtpStreamerPrivate::closeReceiveStream(int stream) {
  MediaSocket* receiving = receiver->sockets[RECEIVE_ROW];
  // The port went with its socket: a later stream on the same port needs a
  // socket of its own, not whatever (a TCP stream waiting for its tunnel)
  // holds the place then.
  localPort[stream] = 0;
  const platform::Socket handle = receiving[stream].handle();
  for (int other = 0; other < STREAM_COLUMNS; ++other) {
    if (other != stream && handle != platform::InvalidSocket && receiving[other].handle() == handle)
      receiving[other].socket.store(platform::InvalidSocket, std::memory_order_release);
  }
  receiving[stream].close();
}

void RtpStreamerPrivate::closeAllStreams() {
  CriticalSectionLock setup(&setupLock);
  for (int stream = 0; stream < STREAM_COLUMNS; ++stream) closeReceiveStream(stream);
  for (auto& row : receiver->sockets)
    for (MediaSocket& socket : row) socket.close();
  receiver->readSet.clear();
  receiver->connectSet.clear();
}

}  // namespace zelkit::detail
