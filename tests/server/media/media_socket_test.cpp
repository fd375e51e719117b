#include "server/media/media_socket.h"

#include <gtest/gtest.h>
#include <sys/un.h>

#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/loopback.h"
#include "server/media/media_test_util.h"
#include "server/media/media_tunnel_request.h"

namespace {

using namespace zelkit::detail;
using namespace zelkit::platform;
using namespace std::chrono_literals;
using mediatest::Bytes;
namespace lb = zelkit::platform::loopback;

// A TPKT header with any length field, followed by payload bytes.
Bytes frameWithLength(int lengthField, size_t payloadBytes) {
  Bytes out{0x03, 0x00, static_cast<uint8_t>(lengthField >> 8), static_cast<uint8_t>(lengthField)};
  const Bytes payload = mediatest::pattern(payloadBytes);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

bool waitReadable(Socket socket, int timeoutMs = 2000) {
  bool ready = false;
  return selectReadable(&socket, 1, &ready, timeoutMs) == 1 && ready;
}

void sendPlain(int fd, const Bytes& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// A framed media socket on a loopback TCP connection, as a tunnel is adopted.
struct FramedStream {
  lb::Connection tcp;
  MediaSocket media;
  FramedStream() {
    media.reset(nullptr);
    media.attachTunnel(tcp.layer, nullptr);
    tcp.layer = InvalidSocket;  // the media socket closes it
  }
  // The result of one receive once bytes are there.
  int receiveNext() { return waitReadable(media.handle()) ? media.receive() : -100; }
  // An end of stream, or a reset when unread bytes were left behind.
  bool peerSeesEnd() {
    char byte;
    pollfd ready{tcp.peer, POLLIN, 0};
    return ::poll(&ready, 1, 2000) == 1 && ::recv(tcp.peer, &byte, 1, 0) <= 0;
  }
};

TEST(MediaSocketFraming, FrameLengthsAtTheLimits) {
  struct Case {
    const char* name;
    int lengthField;
    size_t payloadBytes;
    int expected;
    bool staysOpen;
  };
  const Case cases[] = {
      {"1502 accepted", 1502, 1498, 1498, true}, {"1504 accepted: a packet of 1500 bytes", 1504, 1500, 1500, true},
      {"1505 refused", 1505, 1501, -1, false},   {"length 3 refused before any read size", 3, 0, -1, false},
      {"length 0 refused", 0, 0, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FramedStream stream;
    sendPlain(stream.tcp.peer, frameWithLength(c.lengthField, c.payloadBytes));
    EXPECT_EQ(stream.receiveNext(), c.expected);
    EXPECT_EQ(stream.media.isOpen(), c.staysOpen);
    if (c.expected > 0) {
      EXPECT_EQ(Bytes(stream.media.packetData(), stream.media.packetData() + c.expected),
                mediatest::pattern(c.payloadBytes));
    }
    if (!c.staysOpen) {
      EXPECT_EQ(stream.media.currentState(), MediaSocketState::Closed);
      EXPECT_TRUE(stream.peerSeesEnd());
      EXPECT_EQ(stream.media.receive(), -1);
    }
  }
}

TEST(MediaSocketFraming, EmptyFrameIsSkippedAndTheStreamGoesOn) {
  FramedStream stream;
  sendPlain(stream.tcp.peer, mediatest::join({frameWithLength(4, 0), frameWithLength(24, 20)}));
  EXPECT_EQ(stream.receiveNext(), 0);
  EXPECT_TRUE(stream.media.isOpen());
  EXPECT_EQ(stream.receiveNext(), 20);
  EXPECT_EQ(Bytes(stream.media.packetData(), stream.media.packetData() + 20), mediatest::pattern(20));
}

TEST(MediaSocketFraming, FrameArrivingByteByByteIsAssembled) {
  FramedStream stream;
  const Bytes frame = frameWithLength(104, 100);
  std::thread writer([&] {
    for (uint8_t byte : frame) {
      ::send(stream.tcp.peer, &byte, 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(1ms);
    }
  });
  std::vector<int> results;
  while (results.empty() || results.back() == 0) {
    const int result = stream.receiveNext();
    results.push_back(result);
    if (result < 0) break;
  }
  writer.join();
  ASSERT_EQ(results.back(), 100);
  EXPECT_GT(results.size(), 2u) << "the pieces before the last give 0";
  EXPECT_EQ(Bytes(stream.media.packetData(), stream.media.packetData() + 100), mediatest::pattern(100));
}

TEST(MediaSocketFraming, PeerCloseClosesTheSocket) {
  FramedStream stream;
  ::shutdown(stream.tcp.peer, SHUT_WR);
  EXPECT_EQ(stream.receiveNext(), -1);
  EXPECT_FALSE(stream.media.isOpen());
}

// A stream whose write boundaries the peer sees: a sequenced-packet pair
// keeps each write one record.
struct RecordedWrites {
  int listener = -1;
  int peer = -1;
  MediaSocket media;
  RecordedWrites() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "zelkit-media-" + std::to_string(::getpid());
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    lb::require(::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(listener, 1) == 0,
                "unix listener");
    const Socket layer = openSocket(AF_UNIX, SOCK_SEQPACKET, 0);
    lb::require(connectSocket(layer, reinterpret_cast<sockaddr*>(&address), static_cast<int>(length)) == 0,
                "unix connect");
    peer = ::accept(listener, nullptr, nullptr);
    media.reset(nullptr);
    media.attachTunnel(layer, nullptr);
  }
  ~RecordedWrites() {
    ::close(peer);
    ::close(listener);
  }
  std::vector<size_t> writes() {
    std::vector<size_t> sizes;
    Bytes record(70000);
    pollfd ready{peer, POLLIN, 0};
    while (::poll(&ready, 1, 100) == 1) {
      const ssize_t got = ::recv(peer, record.data(), record.size(), 0);
      if (got <= 0) break;
      sizes.push_back(static_cast<size_t>(got));
      last.assign(record.begin(), record.begin() + got);
    }
    return sizes;
  }
  Bytes last;
};

TEST(MediaSocketFraming, SendsWholeFramesInOneWriteWithNoDelay) {
  struct Case {
    bool noDelay;
    int length;
    std::vector<size_t> writes;
  };
  const Case cases[] = {
      {true, 1499, {1503}},
      {true, 1500, {4, 1500}},
      {false, 10, {4, 10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    RecordedWrites stream;
    stream.media.noDelay = c.noDelay ? 1 : 0;
    const Bytes packet = mediatest::pattern(static_cast<size_t>(c.length));
    EXPECT_EQ(stream.media.send(packet.data(), c.length), c.length);
    EXPECT_EQ(stream.writes(), c.writes);
    EXPECT_EQ(stream.last.size(), c.writes.back());
  }
}

TEST(MediaSocketFraming, FrameHeaderCarriesTheLengthAndOversizedPacketsAreRefused) {
  RecordedWrites stream;
  stream.media.noDelay = 1;
  const Bytes packet = mediatest::pattern(300);
  ASSERT_EQ(stream.media.send(packet.data(), 300), 300);
  stream.writes();
  EXPECT_EQ(Bytes(stream.last.begin(), stream.last.begin() + 4), (Bytes{0x03, 0x00, 0x01, 0x30}));

  // 65532 bytes and more would wrap the 16-bit length field.
  const Bytes huge(MEDIA_FRAMED_PACKET_MAX + 1, 0xAA);
  EXPECT_EQ(stream.media.send(huge.data(), static_cast<int>(huge.size())), -1);
  EXPECT_TRUE(stream.writes().empty());
}

TEST(MediaSocketFraming, StreamSendsFollowTheState) {
  struct Case {
    MediaSocketState state;
    std::string request;
    int expected;
    std::vector<size_t> writes;
    MediaSocketState after;
  };
  const std::string request = "GET /media_tunnel/00080001/02/00/07/00?index=1 HTTP/1.0\r\n\r\n";
  const Case cases[] = {
      {MediaSocketState::Closed, "", -1, {}, MediaSocketState::Closed},
      {MediaSocketState::Connecting, "", -1, {}, MediaSocketState::Connecting},
      {MediaSocketState::RequestPending, request, 8, {request.size(), 12}, MediaSocketState::Open},
      {MediaSocketState::Ready, "", 8, {12}, MediaSocketState::Ready},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.state));
    RecordedWrites stream;
    stream.media.noDelay = 1;
    stream.media.setState(c.state);
    stream.media.tunnelRequest = c.request;
    const Bytes packet = mediatest::pattern(8);
    EXPECT_EQ(stream.media.send(packet.data(), 8), c.expected);
    EXPECT_EQ(stream.writes(), c.writes);
    EXPECT_EQ(stream.media.currentState(), c.after);
    EXPECT_TRUE(stream.media.tunnelRequest.empty() || c.expected < 0);
  }
}

TEST(MediaSocketDatagram, DatagramLongerThanTheBufferIsReportedNotCut) {
  MediaSocket media;
  media.reset(nullptr);
  const Socket udp = lb::layerBound(SOCK_DGRAM);
  media.socket = udp;
  media.setState(MediaSocketState::Ready);
  mediatest::UdpPeer sender;
  const uint16_t port = lb::layerPort(udp);

  sender.sendTo(port, Bytes(MEDIA_PACKET_CAPACITY + 1, 0x11));
  ASSERT_TRUE(waitReadable(udp));
  EXPECT_EQ(media.receive(), -1);
  EXPECT_EQ(lastError(), wsa::MessageSize);
  EXPECT_TRUE(media.isOpen());

  sender.sendTo(port, Bytes(MEDIA_PACKET_CAPACITY, 0x22));
  ASSERT_TRUE(waitReadable(udp));
  EXPECT_EQ(media.receive(), MEDIA_PACKET_CAPACITY);
  EXPECT_EQ(media.packetData()[MEDIA_PACKET_CAPACITY - 1], 0x22);
}

TEST(MediaSocketDatagram, OpenUdpSharesOneSendSocketThatCloseLeavesOpen) {
  mediatest::UdpPeer first;
  mediatest::UdpPeer second;
  MediaSocket a;
  MediaSocket b;
  const Socket shared = a.openUdp(htonl(INADDR_LOOPBACK), htons(first.port()));
  EXPECT_EQ(b.openUdp(htonl(INADDR_LOOPBACK), htons(second.port())), shared);
  EXPECT_EQ(mediaSendSocket(), shared);
  EXPECT_EQ(a.currentState(), MediaSocketState::Open);

  const Bytes packet = mediatest::pattern(40);
  EXPECT_EQ(a.send(packet.data(), 40), 40);
  EXPECT_EQ(first.receive(), packet);
  a.close();
  EXPECT_EQ(a.currentState(), MediaSocketState::Closed);
  EXPECT_EQ(b.send(packet.data(), 40), 40);
  EXPECT_EQ(second.receive(), packet);
}

TEST(MediaSocketDatagram, OpenUdpMarksMulticastDestinations) {
  struct Case {
    const char* address;
    uint8_t multicast;
  };
  for (const Case& c : {Case{"239.1.2.3", 1}, Case{"224.0.0.1", 1}, Case{"223.255.255.255", 0}, Case{"127.0.0.1", 0}}) {
    SCOPED_TRACE(c.address);
    MediaSocket media;
    media.openUdp(inetAddr(c.address), htons(5004));
    EXPECT_EQ(media.multicast, c.multicast);
  }
}

TEST(MediaSocketClose, CloseTakesTheHandleOutOfItsOwnerSet) {
  SocketSet set;
  MediaSocket media;
  media.reset(&set);
  const Socket udp = lb::layerBound(SOCK_DGRAM);
  const Socket other = lb::layerBound(SOCK_DGRAM);
  media.socket = udp;
  set.add(other);
  set.add(udp);
  set.add(udp);
  media.close();
  Socket left[SocketSet::CAPACITY];
  ASSERT_EQ(set.copyTo(left), 1);
  EXPECT_EQ(left[0], other);
  EXPECT_FALSE(media.isOpen());
  closeSocket(other);
}

TEST(MediaTunnelRequest, TextCarriesEveryFieldWhateverTheCredentialLength) {
  EXPECT_EQ(mediaTunnelRequest(0x00080001, 1, 1, 0x07, 0xAB, 1, "dXNlcjo="),
            "GET /media_tunnel/00080001/01/01/07/ab?index=1 HTTP/1.0\r\nAuthorization: Basic dXNlcjo=\r\n\r\n");
  EXPECT_EQ(mediaTunnelRequest(0xFFFFFFFF, 2, 0, 0, 0, 12, ""),
            "GET /media_tunnel/ffffffff/02/00/00/00?index=12 HTTP/1.0\r\nAuthorization: Basic \r\n\r\n");
  // Credentials of the longest kind the connection gives: nothing is cut.
  const std::string credentials(1023, 'Q');
  const std::string text = mediaTunnelRequest(0x12345678, 1, 1, 1, 1, 3, credentials.c_str());
  EXPECT_EQ(text, "GET /media_tunnel/12345678/01/01/01/01?index=3 HTTP/1.0\r\nAuthorization: Basic " + credentials +
                      "\r\n\r\n");
}

}  // namespace
