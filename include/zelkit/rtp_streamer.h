#pragma once

#include "zelkit/client.h"
#include "zelkit/export.h"

namespace zelkit {

namespace detail {
struct RtpStreamerPrivate;
}

// An RTP payload type number (0 to 127). 255 stands for a complete RTP
// packet: given to transmit, the packet goes out as it is; towards a
// receive callback, a whole packet (raw delivery) or, with no data, that no
// packet arrived within the video time-out.
enum RtpPayloadType : int {
  RtpPacketComplete = 255,
};

// A receive stream's cipher slot for setEncryptionKey; the send video
// stream's slot is reached as 3, or as 4096.
enum ConnectChannels : int {
  ChannelVideo = 0,
  ChannelAudio = 1,
  ChannelSecondVideo = 2,
  ChannelSendVideo = 3,
  ChannelSendVideoAlias = 4096,
};

// Runs on the streamer's receiver thread, with its receiver lock held.
typedef void (*RtpReceiveCallback)(void* context, RtpPayloadType type, unsigned char const* data, int length);

// Media streaming with one device: asks it to open RTP streams, keeps the
// media session alive, sends RTP packets and receives them on a thread of
// its own. Copies share the media part, which goes with the last of them.
//
// Masks: 1 video, 2 audio, 4 other. Addresses and ports of connectStream
// are in network byte order. Set-up failures of the local sockets throw
// ConnectionErrorException*; the other members report failures by result.
class ZELKIT_API RtpStreamer : public ZelClient {
 public:
  RtpStreamer(char const* url, unsigned short num);
  RtpStreamer(ZelClient& client, unsigned short num);
  RtpStreamer(RtpStreamer& other);
  RtpStreamer& operator=(RtpStreamer& other);
  virtual ~RtpStreamer();

  // The connect result reaches the callback as tag 0xFFCC0C31 with the
  // reply's mode, session id and error code, and 16 payload bytes: 0, 0,
  // the accepted send kinds and receive kinds (1 video, 2 audio).
  void connectVideo(int timeoutMs, unsigned short flags, unsigned char streamParameter, unsigned long sendMask,
                    unsigned long receiveMask, ZelCallback callback, void* context);
  void connectVideo(int timeoutMs, unsigned long options, unsigned long videoCoding, unsigned long audioCoding,
                    unsigned long unused, unsigned char streamParameter, unsigned long sendMask,
                    unsigned long receiveMask, ZelCallback callback, void* context);
  void connectNvrVideo(int timeoutMs, unsigned long value, ZelCallback callback, void* context);
  // Receive sockets for up to three streams that run already (multicast
  // groups are joined; source 0: any source, 0xFFFFFFFF: the device); no
  // request goes to the device.
  void connectStream(unsigned long source, unsigned long const* addresses, unsigned short const* ports, int count);
  void disconnectVideo();
  // A 16-byte master key for the channel's stream: 0 done, -1 unknown
  // channel (or no key), -2 when the flag is set.
  int setEncryptionKey(ConnectChannels channel, bool flag, void* key, int length);

  // A callback starts the receiver thread (once); null stops delivery.
  void registerReceiverCallback(bool raw, RtpReceiveCallback callback, void* context);
  // One report (255, no data) after that many milliseconds without a
  // packet; 0 switches it off, as does the report itself.
  void setVideoTimeout(int milliseconds);
  // Bytes sent as the stream's socket reports them, or -1.
  int transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp, int marker);
  int transmit(RtpPayloadType type, void const* data, int length, unsigned long timestamp);

 private:
  friend struct detail::RtpStreamerPrivate;
  detail::Connection* controlConnection() const;
  // A request whose reply nobody waits for.
  void sendUnawaited(unsigned long commandWord);

  detail::RtpStreamerPrivate* private_;
};

}  // namespace zelkit
