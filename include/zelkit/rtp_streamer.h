#pragma once

/// \file
/// RTP media from and to a device.

#include "zelkit/client.h"
#include "zelkit/export.h"

namespace zelkit {

namespace detail {
struct RtpStreamerPrivate;
}

/// An RTP payload type number (0 to 127), or RtpPacketComplete.
///
/// transmit() takes the types 0, 96 and 99 (audio), 26, 31, 34, 35, 32 and
/// 33 (video; 32 and 33 with a 16-byte header), 97 (video on its own
/// sequence counter), 98 (second video) and 73 (on the receive video
/// stream).
enum RtpPayloadType : int {
  /// A complete RTP packet: given to transmit, the packet goes out as it is;
  /// towards a receive callback, a whole packet (raw delivery) or, with no
  /// data, that no packet arrived within the video time-out.
  RtpPacketComplete = 255,
};

/// A stream's cipher slot for RtpStreamer::setEncryptionKey.
enum ConnectChannels : int {
  ChannelVideo = 0,              ///< The received video.
  ChannelAudio = 1,              ///< The received audio.
  ChannelSecondVideo = 2,        ///< The received second video.
  ChannelSendVideo = 3,          ///< The video this client sends.
  ChannelSendVideoAlias = 4096,  ///< The same as ChannelSendVideo.
};

/// Receive callback of a streamer. Runs on the streamer's receiver thread,
/// with its receiver lock held.
/// \param context The context given with the callback.
/// \param type The packet's payload type; RtpPacketComplete for a whole
///        packet (raw delivery), or with null data for a stream that went quiet
///        (RtpStreamer::setVideoTimeout).
/// \param data The payload behind the RTP header (the whole packet in raw
///        delivery), decrypted; valid only during the call.
/// \param length Its length in bytes.
typedef void (*RtpReceiveCallback)(void* context, RtpPayloadType type, unsigned char const* data, int length);

/// Media streaming with one device: asks it to open RTP streams, keeps the
/// media session alive, sends RTP packets and receives them on a thread of
/// its own. Copies share the media part, which goes with the last of them.
///
/// Masks: 1 video, 2 audio, 4 other. Addresses and ports of connectStream
/// are in network byte order. Set-up failures of the local sockets throw;
/// the other members report failures by result. Members may be called from
/// any thread; transmit() assumes one sending thread per streamer.
class ZELKIT_API RtpStreamer : public ZelClient {
 public:
  /// A streamer of the device at the URL, with session id 0 until a
  /// connect reply gives the media session's.
  /// \param url The device's URL (see ZelClient).
  /// \param num The num of the streamer's requests; the device takes it as the line.
  RtpStreamer(char const* url, unsigned short num);
  /// A streamer sharing client's connection, with a media part of its own.
  /// \param client The client whose connection to share.
  /// \param num The num of the streamer's requests; the device takes it as the line.
  RtpStreamer(ZelClient& client, unsigned short num);
  /// A streamer sharing other's connection and media part.
  /// \param other The streamer to share with.
  RtpStreamer(RtpStreamer& other);
  /// Shares other's connection and media part.
  /// \param other The streamer to share with.
  /// \return This streamer.
  RtpStreamer& operator=(RtpStreamer& other);
  /// Drops this streamer's pending connect reply and keep-alive (waiting for
  /// one running on another thread), ends the media session it holds (a
  /// session id not 0); the last streamer of a media part closes the streams
  /// and stops the receiver thread (it ends within 200 ms).
  virtual ~RtpStreamer();

  /// Asks the device for streams, then starts the keep-alive (every 4000
  /// ms). Flags: 0x0008 TCP through the device's HTTP port (else UDP);
  /// 0x0020 (or 0x0008) no multicast; 0x0001 and 0x8000 pass into the
  /// transport word; 0x0002, 0x0004, 0x0010, 0x0200, 0x0400, 0x0800 and
  /// 0x1000 choose the video and audio codings; 0x0040 adds the second
  /// video. Over UDP the receive sockets are opened first.
  ///
  /// The result reaches the callback (on the worker thread, or through
  /// System::dispatchCallback) as tag 0xFFCC0C31 with the reply's mode,
  /// session id and error code, and 16 payload bytes: 0, 0, the accepted
  /// send kinds and receive kinds (1 video, 2 audio).
  /// \param timeoutMs Time for the reply; 0 takes the default.
  /// \param flags The options above.
  /// \param streamParameter A byte passed through to the device.
  /// \param sendMask The streams this client sends; its top byte is the descriptors' flags byte.
  /// \param receiveMask The streams the device sends.
  /// \param callback Gets the result, or null.
  /// \param context Given to the callback.
  /// \throws Exception* when a local UDP socket cannot be set up.
  void connectVideo(int timeoutMs, unsigned short flags, unsigned char streamParameter, unsigned long sendMask,
                    unsigned long receiveMask, ZelCallback callback, void* context);
  /// The same with the options spelt out: options bits 0-15 are the
  /// transport word (0x0400 TCP, else UDP), bits 16-23 the flags byte, bit
  /// 24 the second video, bit 25 marks every coding with 0x4000, bit 26 (or
  /// bit 10) no multicast, bit 27 no RTCP acknowledgements.
  /// \param timeoutMs Time for the reply; 0 takes the default.
  /// \param options The options above.
  /// \param videoCoding The video coding word (low 16 bits).
  /// \param audioCoding The audio coding word (low 16 bits).
  /// \param unused Not used.
  /// \param streamParameter A byte passed through to the device.
  /// \param sendMask The streams this client sends.
  /// \param receiveMask The streams the device sends.
  /// \param callback Gets the result as in the form above, or null.
  /// \param context Given to the callback.
  /// \throws Exception* when a local UDP socket cannot be set up.
  void connectVideo(int timeoutMs, unsigned long options, unsigned long videoCoding, unsigned long audioCoding,
                    unsigned long unused, unsigned char streamParameter, unsigned long sendMask,
                    unsigned long receiveMask, ZelCallback callback, void* context);
  /// Asks a recorder for its video over UDP, then starts the keep-alive;
  /// the result reaches the callback as with connectVideo().
  /// \param timeoutMs Time for the reply; 0 takes the default.
  /// \param value The recorder's value, sent ahead of the stream's descriptor.
  /// \param callback Gets the result, or null.
  /// \param context Given to the callback.
  /// \throws Exception* when the local UDP socket cannot be set up.
  void connectNvrVideo(int timeoutMs, unsigned long value, ZelCallback callback, void* context);
  /// Opens receive sockets for up to three streams that run already (video,
  /// audio, second video); multicast groups are joined. No request goes to
  /// the device.
  /// \param source For multicast: the source to take packets from (network
  ///        order), 0 for any source, 0xFFFFFFFF for the device.
  /// \param addresses The streams' addresses, network order.
  /// \param ports The streams' UDP ports, network order.
  /// \param count The number of streams (at most 3 are used).
  /// \throws Exception* when a socket cannot be set up or a group not joined.
  void connectStream(unsigned long source, unsigned long const* addresses, unsigned short const* ports, int count);
  /// Ends the media session: tells the device, closes every stream and stops
  /// the keep-alive.
  void disconnectVideo();
  /// Installs the cipher of a stream, keyed with a 16-byte master key.
  /// \param channel The stream.
  /// \param flag Must be false.
  /// \param key The 16 key bytes.
  /// \param length Not read.
  /// \return 0 done, -1 for an unknown channel, -2 when the flag is set.
  int setEncryptionKey(ConnectChannels channel, bool flag, void* key, int length);

  /// Sets the receive callback. A callback starts the receiver thread
  /// (once); null stops delivery. Waits while a callback runs on the
  /// receiver thread.
  /// \param raw Deliver whole RTP packets (as RtpPacketComplete) instead of
  ///        their payloads.
  /// \param callback Called for each packet (see RtpReceiveCallback), or null.
  /// \param context Given to the callback.
  void registerReceiverCallback(bool raw, RtpReceiveCallback callback, void* context);
  /// Asks for one report (RtpPacketComplete, no data) after that many
  /// milliseconds without a packet; the report switches it off again.
  /// \param milliseconds The quiet time, or 0 for no report.
  void setVideoTimeout(int milliseconds);
  /// Sends one RTP packet: the header (with the stream's sequence number,
  /// SSRC 0xFFFFFFFF and the marker bit when marker is not 0) and the
  /// payload, encrypted when the stream has a key, at most 1500 bytes.
  /// \param type The payload type, which chooses the stream (see
  ///        RtpPayloadType); RtpPacketComplete sends data as a whole packet.
  /// \param data The payload, or the whole packet; not changed.
  /// \param length Its length in bytes.
  /// \param timestamp The RTP timestamp.
  /// \param marker Not 0 sets the marker bit.
  /// \return The bytes sent, or -1 (unknown type, packet too long or too
  ///         short, stream not open).
  int transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp, int marker);
  /// Sends one RTP packet without the marker bit, as the form above.
  /// \param type The payload type, which chooses the stream.
  /// \param data The payload, or the whole packet; not changed.
  /// \param length Its length in bytes.
  /// \param timestamp The RTP timestamp.
  /// \return The bytes sent, or -1.
  int transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp);

 private:
  friend struct detail::RtpStreamerPrivate;
  detail::Connection* controlConnection() const;
  // A request whose reply nobody waits for.
  void sendUnawaited(unsigned long commandWord);

  detail::RtpStreamerPrivate* private_;
};

}  // namespace zelkit
