#pragma once

/// \file
/// The device side: media sessions that stream to one client.

#include <atomic>
#include <cstdint>

#include "zelkit/export.h"
#include "zelkit/rtp_streamer.h"
#include "zelkit/session.h"

class C_Cryptlfc;

namespace zelkit {

class RtpStreamerSession;

namespace detail {
class BackChannelReceiver;
class MediaSocket;
struct MediaTables;
struct SslContext;
struct ConnectRequest;
}  // namespace detail

/// One stream a client asked a server to send, as the server's connect
/// handler read it from the client's connect descriptor.
struct RtpStreamDescriptor {
  /// The kind of a stream.
  enum Type : uint8_t {
    Video = 1,       ///< The video stream.
    Audio = 2,       ///< The audio stream.
    ThirdStream = 3  ///< The third stream.
  };
  /// The value of flags for a stream over a media tunnel (TPKT framing).
  static constexpr uint32_t OverTcp = 8;

  uint32_t flags;         ///< OverTcp, or 0 for UDP.
  uint8_t direction;      ///< 0: the server sends.
  uint8_t type;           ///< A Type; the stream's index is type - 1.
  uint8_t reserved;       ///< 0.
  uint8_t connectFlags;   ///< Descriptor byte 3; 0x40: the stream's tunnel keeps the TLS of its connection.
  uint16_t coding;        ///< Descriptor bytes 24-25.
  uint16_t port;          ///< The client's port, network order.
  uint32_t address;       ///< Network order; 224.0.0.0: the line's multicast address, 0: the client's.
  uint32_t line;          ///< Video line, 0..255 (descriptor byte 17).
  uint8_t argument;       ///< Descriptor byte 16, for the application.
  uint32_t peerAddress;   ///< The client's IPv4 address, network order.
  uint8_t transportKind;  ///< Descriptor byte 8: 4 for TCP.
  /// Descriptor byte 9: 0x80 in the first descriptor puts the session's
  /// tunnelled video on the back channel and asks for RTCP acknowledgements.
  uint8_t transportOptions;
};

/// A counted handle of a media session, as ZelSessionRef. Handles may be
/// copied and dropped on any thread.
class ZELKIT_API RtpStreamerSessionRef : public ZelSessionRef {
 public:
  /// An empty handle.
  RtpStreamerSessionRef() = default;
  /// Another handle of other's session. There is no check of the session's
  /// kind: the handle must name a media session.
  /// \param other A handle of a media session.
  RtpStreamerSessionRef(const ZelSessionRef& other) : ZelSessionRef(other) {}
  /// \return The media session, or null for an empty handle.
  inline RtpStreamerSession* get() const;
  /// \return The media session; the handle must not be empty.
  RtpStreamerSession* operator->() const { return get(); }
};

/// Media from the server to one client: up to three streams (video, audio,
/// a third stream) over UDP, UDP multicast or a media tunnel through an HTTP
/// port. An application that streams derives from ZelServer, makes these in
/// ZelServer::createRtpStreamerSession and sends frames with transmit() or
/// multicast(), from any thread.
///
/// Sessions of one video line (0..255) form a list: multicast(),
/// activeByLine() and ZelServer::getInfo work on it. A session ends when its
/// client disconnects or stops its keep-alives; the next transmit() then
/// answers -1 and the session leaves the lists and lets go of its own
/// handle. A session made for a connect request that got no stream has no
/// line: it ends once its reply is out.
class ZELKIT_API RtpStreamerSession : public ZelSession {
 public:
  /// Opens the UDP streams at once; TCP streams wait for their tunnel.
  /// \param descriptors The streams the client asked for, as
  ///        ZelServer::createRtpStreamerSession got them; the session copies them.
  /// \param count Their number.
  RtpStreamerSession(RtpStreamDescriptor const* descriptors, int count);
  RtpStreamerSession(const RtpStreamerSession&) = delete;
  RtpStreamerSession& operator=(const RtpStreamerSession&) = delete;
  /// Closes the streams; the last handle deletes the session.
  virtual ~RtpStreamerSession();
  /// Called once every stream is connected, on the library's worker thread:
  /// at once for UDP streams, when the last tunnel arrives for TCP ones. The
  /// default does nothing.
  virtual void onConnectionEstablished();

  using ZelSession::disconnect;

  /// Sends one frame on the stream of its payload type.
  /// \param type The payload type; 255 sends data as a complete RTP packet
  ///        (12 to 1500 bytes), any other builds the 12-byte header in front
  ///        of at most 1488 bytes.
  /// \param data The frame.
  /// \param length Its byte count.
  /// \param timestamp The RTP timestamp.
  /// \param marker The RTP marker bit (0 or 1).
  /// \return The bytes sent; 0 for an empty complete packet; -1
  ///         disconnected, no such stream or a bad length; -2 already sent
  ///         on a shared multicast socket; -3 a stream still waits for its
  ///         tunnel.
  int transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp, int marker);
  /// Sends a frame to every session of the line, once per shared multicast
  /// socket.
  /// \param line The video line.
  /// \param type The payload type, as for transmit().
  /// \param data The frame.
  /// \param length Its byte count.
  /// \param timestamp The RTP timestamp.
  /// \param marker The RTP marker bit (0 or 1).
  /// \return The number of sessions it reached, -1 for a line outside 0..255.
  static int multicast(int line, RtpPayloadType type, void const* data, int length, unsigned long timestamp,
                       int marker);

  /// \return The session's video line, 0xFFFFFFFF when it has none.
  unsigned long lineNumber() const { return line_; }
  /// \return The id the connect reply gave the client.
  unsigned long sessionId() const { return sessionId_; }
  /// The client is alive: the keep-alive countdown starts again.
  void updateKeepAlive();
  /// \return Whether every stream has its socket, none waiting for its tunnel.
  bool socketsReady() const;
  /// \return 1 without a line, else 1 + the sessions of the line, this one included.
  int concurrentStreamCount() const;
  /// \param line The video line.
  /// \return The sessions of the line with all streams ready; 0 for a line
  ///         outside 0..255.
  static int activeByLine(int line);
  /// Sets where the line's streams of the type go when a client asks for
  /// multicast (address 224.0.0.0).
  /// \param line The video line.
  /// \param type The stream's kind.
  /// \param address The group's address, network order.
  /// \param port The group's port, network order.
  /// \param noKeepAlive Exempt the line's sessions from the keep-alive countdown.
  /// \return 0, or -1 for a line above 255 or an unknown type.
  static int setMulticastAddress(unsigned line, RtpStreamDescriptor::Type type, unsigned long address,
                                 unsigned short port, bool noKeepAlive);
  /// Lowers every session's keep-alive counter (10 after each keep-alive)
  /// and ends, with reason 5, those below 0. The server's timer calls it
  /// with 4 every 4000 ms, on the library's worker thread.
  /// \param amount What to take off each counter.
  static void decrementKeepAlives(int amount);

 private:
  friend class ZelServer;
  friend class detail::BackChannelReceiver;
  friend class detail::Connection;
  friend struct detail::MediaTables;

  static constexpr int STREAMS = 3;

  int transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp, int marker,
               int& multicastMask);
  int sendPacket(int stream, const uint8_t* packet, int length);
  void leaveTables();
  // Tells every client that the session ended (reason 1: its client asked,
  // 5: no keep-alive) and marks it; the next transmit takes it out.
  void disconnect(int reason);
  RtpStreamerSessionRef handle();
  bool hasTcpStream() const;
  // The descriptor that the connect reply put at this 8-byte item position
  // (1 = first), counting key items; -1 when none.
  int descriptorAtReplyItem(unsigned index) const;
  // The connect reply: the accepted descriptors echoed, each with the key
  // of its stream when it asked for one.
  void writeConnectReply(ZelOutputStream& reply, const detail::ConnectRequest& request);

  // Hands an accepted socket that asked "GET /media_tunnel/..." to the
  // stream it names; the stream may take the connection's TLS context.
  // Bytes behind the request head go to the stream. 0 when attached; -2
  // line out of range, -3 no such session, -4 index beyond the reply, -5
  // stream index above 2, -6 stream not waiting for a tunnel. The caller
  // holds the library lock.
  static int attachMediaTunnel(int32_t socket, detail::SslContext** tls, const char* request, int length);

  RtpStreamDescriptor* descriptors_;
  int32_t descriptorCount_;
  std::atomic<int32_t> keepAlive_;
  uint32_t sessionId_;
  uint32_t line_;  // 0xFFFFFFFF: none
  detail::MediaSocket* sockets_[STREAMS];
  uint16_t sequence_[4];  // video, audio, third stream, video of payload type 97
  RtpStreamerSession* nextInLine_;
  std::atomic<bool> disconnected_;
  std::atomic<C_Cryptlfc*> ciphers_[STREAMS];
  // Bit i: key items followed descriptor i in the connect reply.
  uint32_t keyedInReply_;
};

inline RtpStreamerSession* RtpStreamerSessionRef::get() const {
  return static_cast<RtpStreamerSession*>(ZelSessionRef::get());
}

}  // namespace zelkit
