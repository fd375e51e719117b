#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/engine/lock.h"
#include "security/cipher/crypt.h"
#include "server/media/connect_descriptor.h"
#include "server/media/media_socket.h"
#include "zelkit/rtp_streamer.h"

namespace zelkit::detail {

struct ReplyStream;

constexpr int STREAM_ROWS = 2;     // 0 the device sends (receive streams), 1 the client sends
constexpr int STREAM_COLUMNS = 3;  // 0 video, 1 audio, 2 second video
constexpr int RECEIVE_ROW = 0;
constexpr int SEND_ROW = 1;
constexpr int RTP_HEADER_SIZE = 12;

// The sockets, ciphers and receive side of a streamer. Once its thread
// runs, the thread owns it and frees it when running goes to false.
struct StreamReceiver {
  StreamReceiver() = default;
  ~StreamReceiver();
  StreamReceiver(const StreamReceiver&) = delete;
  StreamReceiver& operator=(const StreamReceiver&) = delete;

  // Starts the thread unless it runs (under lock).
  void start();
  static void threadEntry(void* receiver);
  void run();
  // Serves every ready receive stream once; false when running went to false.
  bool serveReadyStreams(const platform::Socket* reading, const bool* readable, int readCount,
                         const platform::Socket* connecting, const bool* writable, int connectCount);
  void finishTunnelConnect(int stream);
  bool readPackets(int stream);
  // Takes failed connects out of connectSet; their streams stay pending.
  void dropFailedConnects(const platform::Socket* connecting, const bool* writable, int count);
  void reportLostStream();
  void deliver(uint8_t* packet, int length);
  void sendRtcpAck(MediaSocket& socket, const uint8_t* packet);

  // Ciphers change hands and are used under cipherLock, so a replaced one
  // is never freed while a packet is being encrypted or decrypted with it.
  void installCipher(int row, int column, const uint8_t masterKey[STREAM_KEY_SIZE]);
  // The 12-byte header stays in the clear.
  void applyCipher(int row, int column, uint8_t* packet, int length, bool decrypt);

  MediaSocket sockets[STREAM_ROWS][STREAM_COLUMNS];
  C_Cryptlfc* ciphers[STREAM_ROWS][STREAM_COLUMNS] = {};
  std::mutex cipherLock;
  uint8_t raw = 0;      // under lock
  uint8_t tcpMode = 0;  // under the streamer's setupLock
  std::atomic<bool> running{false};
  RtpReceiveCallback receiveCallback = nullptr;  // under lock
  void* receiveContext = nullptr;                // under lock
  SocketSet readSet;
  SocketSet connectSet;
  std::atomic<int32_t> videoTimeout{0};
  // Held while the receive callback runs and while it is changed.
  CriticalSection lock;
};

// What the media set-up needs of the streamer's control connection.
struct ControlPeer {
  sockaddr_in6 address{};  // the device's address and port (family 0 while unresolved)
  bool encrypted = false;
  int family() const { return address.sin6_family == AF_INET6 ? AF_INET6 : AF_INET; }
};

// The media part of a streamer, shared by its copies and freed with the
// last of them.
struct RtpStreamerPrivate {
  RtpStreamerPrivate();
  RtpStreamerPrivate(const RtpStreamerPrivate&) = delete;
  RtpStreamerPrivate& operator=(const RtpStreamerPrivate&) = delete;

  void retain() { references.fetch_add(1, std::memory_order_relaxed); }
  // The last owner closes the streams and hands the receiver to its thread
  // (or frees it).
  void release();

  // Stream set-up (stream_sockets.cpp); throws ConnectionErrorException*.
  void openStreamSocket(RtpStreamer& streamer, int stream, const sockaddr* address, uint16_t port, int clientSends,
                        uint32_t source, bool tcp);
  void openTcpStream(const ControlPeer& peer, int stream, int clientSends);
  void openUdpSend(const ControlPeer& peer, int stream, uint16_t port);
  void openUdpReceive(RtpStreamer& streamer, const ControlPeer& peer, int stream, const sockaddr* address,
                      uint16_t port, uint32_t source);
  void joinGroup(RtpStreamer& streamer, const ControlPeer& peer, MediaSocket& socket, const sockaddr* group,
                 uint32_t source);
  // A TCP stream of a reply: its media-tunnel request and acknowledgements.
  void prepareTunnel(RtpStreamer& streamer, const ReplyStream& accepted, uint32_t sessionId);
  void closeReceiveStream(int stream);
  void closeAllStreams();

  // Connect requests (stream_connect.cpp).
  void connectPrimitive(RtpStreamer& streamer, int timeoutMs, uint16_t transport, uint16_t audioCoding,
                        uint16_t videoCoding, uint16_t secondVideoCoding, bool multicastRequest, uint8_t flags,
                        uint8_t parameter, uint32_t sendMask, uint32_t receiveMask, ZelCallback callback,
                        void* context);
  // A fresh random key in the send stream's cipher slot, and its key items.
  void makeStreamKey(ZelOutputStream& payload, int column);
  void setConnectCallback(ZelCallback callback, void* context);
  void startKeepAlive(RtpStreamer& streamer);

  // Reply and timer callbacks; the context is the streamer.
  static void onConnectReply(void* context, ZelHeader& header, ZelInputStream& payload);
  static void onKeepAliveTimer(void* context, ZelHeader& header, ZelInputStream& payload);
  void applyReplyStream(RtpStreamer& streamer, const ReplyStream& accepted, uint32_t sessionId, bool nvrReply);

  uint16_t localPort[STREAM_COLUMNS] = {};  // network order; 0 when none
  StreamReceiver* receiver;
  ZelCallback connectCallback = nullptr;  // under the library lock
  void* connectContext = nullptr;
  uint16_t sequence[4] = {};
  uint8_t rtcpAckWanted = 1;
  std::atomic<int> references{1};
  // Serialises the set-up of streams between the application's threads and
  // the worker delivering a connect reply.
  CriticalSection setupLock;
};

ControlPeer controlPeerOf(Connection* connection);

}  // namespace zelkit::detail
