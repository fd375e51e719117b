#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/engine/lock.h"
#include "platform/socket.h"

namespace zelkit::detail {

struct SslContext;

enum class MediaSocketState : uint32_t {
  Closed = 0,          // no usable socket
  Connecting = 1,      // TCP stream whose connection is not there yet
  RequestPending = 2,  // client TCP stream: the media-tunnel request waits in tunnelRequest
  Ready = 3,           // client receive socket registered for reading, or client UDP send socket
  Open = 4,            // open for sending
};

constexpr int MEDIA_FRAME_HEADER = 4;
// A datagram is read whole into this much room.
constexpr int MEDIA_PACKET_CAPACITY = 1600;
// Both sides send packets of up to 1500 bytes, so frames of up to 1504.
constexpr int MEDIA_PACKET_MAX = 1500;
constexpr int MEDIA_FRAME_MAX = MEDIA_PACKET_MAX + MEDIA_FRAME_HEADER;
// The frame's 16-bit length field counts its 4 header bytes.
constexpr int MEDIA_FRAMED_PACKET_MAX = 0xFFFF - MEDIA_FRAME_HEADER;

// The receive buffer of a media socket: a frame's TPKT header directly
// followed by its packet, so a frame arriving in pieces is assembled in place.
struct MediaPacket {
  uint8_t frameHeader[MEDIA_FRAME_HEADER] = {};
  uint8_t data[MEDIA_PACKET_CAPACITY] = {};
  int32_t filled = 0;       // bytes of the current frame so far, header included
  int32_t frameLength = 0;  // length field of the current frame
};

// A select set of up to 64 sockets, changed by set-up and close while a
// receiver thread copies it; it guards itself.
class SocketSet {
 public:
  static constexpr int CAPACITY = platform::SelectMaxSockets;

  // A handle already present, or a full set, is left as it is.
  void add(platform::Socket handle);
  // Removes the first equal entry; those behind it move down one place.
  void remove(platform::Socket handle);
  void clear();
  bool contains(platform::Socket handle) const;
  // The handles now in the set; returns their count.
  int copyTo(platform::Socket out[CAPACITY]) const;

 private:
  mutable std::mutex mutex_;
  uint32_t count_ = 0;
  platform::Socket handles_[CAPACITY] = {};
};

// One endpoint of one RTP stream: a UDP socket, or a TCP stream carrying
// TPKT-framed packets, optionally under TLS.
//
// Every operation but close holds ioLock (recursive), so that the receiver
// thread, the application's sends and the set-up of the stream do not meet
// in the middle of a frame; owners hold it across a reconfiguration too.
// close() takes only the process-wide media close lock, so it can run while
// another thread is blocked in a send and wakes it. The socket's TLS context
// is driven under ioLock too, so its reads and writes never overlap.
class MediaSocket {
 public:
  MediaSocket();
  ~MediaSocket();
  MediaSocket(const MediaSocket&) = delete;
  MediaSocket& operator=(const MediaSocket&) = delete;

  // Prepares the socket for reuse by the client; the state and the
  // multicast flag stay.
  void reset(SocketSet* owner);
  // A destination (network order) on the process's shared media send socket.
  platform::Socket openUdp(uint32_t address, uint16_t port);
  bool setNoDelay();
  // Puts the stream under TLS for its next connection; false when no TLS
  // context can be had.
  bool startSsl();
  // Adopts an accepted TCP connection carrying a media tunnel.
  void attachTunnel(platform::Socket handle, SslContext* context);
  // The select set this socket's handle is registered in; close() takes it
  // out. Changed under the media close lock.
  void setOwnerSet(SocketSet* owner);
  // A client receive stream whose tunnel request waits for its connect: the
  // handle is watched in `connecting` until the request went out, then read
  // in `reading`.
  void awaitTunnel(SocketSet* connecting, SocketSet* reading);
  // Sends the pending tunnel request (state RequestPending) and moves the
  // stream on: a receive stream to Ready in its read set, whoever sends the
  // request, the receiver or a send; a send stream to Open. Negative when
  // the request could not go out; it stays pending then.
  int sendTunnelRequest();

  // Bytes of the stream that arrived before the socket was adopted (behind
  // a tunnel request head, already out of TLS): recvRaw gives them first.
  void holdBytes(const void* data, int length);
  bool hasHeldBytes();

  // Plain (or TLS) transfers of bytes. recvRaw never waits: 0 when nothing
  // is there yet, -1 on failure or when the peer closed.
  int sendRaw(const void* data, int length);
  int recvRaw(void* buffer, int length);
  // Application bytes already buffered by TLS, -1 without TLS.
  int sslPending();

  // One packet into receiveBuffer->data: its length, 0 while a frame is
  // incomplete (or was empty), -1 on failure (a framed socket is closed).
  int receive();
  // One packet: a datagram to destination, or a frame.
  int send(const void* packet, int length);
  void close();

  uint8_t* packetData() { return receiveBuffer->data; }
  platform::Socket handle() const { return socket.load(std::memory_order_acquire); }
  bool isOpen() const { return handle() != platform::InvalidSocket; }
  MediaSocketState currentState() const { return state.load(std::memory_order_acquire); }
  void setState(MediaSocketState next) { state.store(next, std::memory_order_release); }

  std::atomic<platform::Socket> socket{platform::InvalidSocket};
  uint8_t framed = 0;
  uint8_t multicast = 0;
  uint8_t rtcpAck = 0;
  uint8_t noDelay = 0;
  std::atomic<MediaSocketState> state{MediaSocketState::Closed};
  // Built to its full length: the Basic credentials alone may fill 1023 characters.
  std::string tunnelRequest;
  MediaPacket* receiveBuffer = nullptr;
  SslContext* tls = nullptr;
  sockaddr_in6 destination{};
  CriticalSection ioLock;
  // Sends failed in a row; the sending thread's.
  int32_t sendFailureRun = 0;

 private:
  int sendFrame(const void* packet, int length);
  // The TLS side of the raw transfers (media_tls.cpp).
  int tlsWrite(const void* data, int length);
  int tlsRead(void* buffer, int length);
  void freeTls();

  SocketSet* ownerSet_ = nullptr;
  // Set by awaitTunnel: the set a receive stream is read in once its
  // tunnel request went out. Null for any other socket.
  SocketSet* readSetAfterTunnel_ = nullptr;
  std::vector<uint8_t> heldBytes_;
  size_t heldTaken_ = 0;
};

// One receive of what the stream holds now: the count, 0 when nothing is
// there yet, -1 when the peer closed or the receive failed.
int receiveWithoutWaiting(platform::Socket handle, void* buffer, int length);

// Serialises every close and the removal of a handle from its owner's set.
CriticalSection& mediaCloseLock();
// The process's one UDP socket for openUdp destinations; never closed by a
// media socket. InvalidSocket until the first openUdp.
platform::Socket mediaSendSocket();

}  // namespace zelkit::detail
