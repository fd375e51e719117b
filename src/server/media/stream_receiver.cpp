// The receiver thread of a streamer: waits on its receive streams, finishes
// the connects of TCP streams, reads packets, acknowledges marked ones on
// TCP streams, decrypts and hands them to the application, and reports a
// stream that went quiet.
#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/thread.h"
#include "platform/time.h"
#include "server/media/rtp_streamer_private.h"

namespace zelkit::detail {

namespace {

constexpr int FAST_WAIT_MS = 10;
constexpr int SLOW_WAIT_MS = 200;
// Waits stay short until this long has passed without a packet.
constexpr int FAST_PERIOD_MS = 200;
constexpr int IDLE_CAP_MS = 1 << 30;
constexpr int RTCP_ACK_SIZE = 36;
constexpr uint8_t RTP_MARKER = 0x80;
// Packets read from one stream in a row while they keep coming, before the
// other streams get their turn: a queue of them costs one wait, not one each.
constexpr int PACKETS_PER_TURN = 32;

bool readyIn(platform::Socket handle, const platform::Socket* handles, const bool* ready, int count) {
  for (int i = 0; i < count; ++i)
    if (handles[i] == handle && ready[i]) return true;
  return false;
}

}  // namespace

StreamReceiver::~StreamReceiver() {
  for (auto& row : ciphers)
    for (C_Cryptlfc* cipher : row) delete cipher;
}

void StreamReceiver::start() {
  CriticalSectionLock guard(&lock);
  if (running.load(std::memory_order_acquire)) return;
  running.store(true, std::memory_order_release);
  if (!platform::startThread(threadEntry, this)) running.store(false, std::memory_order_release);
}

void StreamReceiver::threadEntry(void* receiver) {
  auto* self = static_cast<StreamReceiver*>(receiver);
  self->run();
  // The streamer has let go of the receiver: it is ours to free.
  delete self;
}

void StreamReceiver::run() {
  platform::raiseCurrentThreadPriority();
  int idle = 0;
  int idleTotal = 0;
  int lastTimeout = 0;
  platform::Socket reading[SocketSet::CAPACITY];
  platform::Socket connecting[SocketSet::CAPACITY];
  bool readable[SocketSet::CAPACITY];
  bool writable[SocketSet::CAPACITY];
  while (running.load(std::memory_order_acquire)) {
    const int wait = idleTotal <= FAST_PERIOD_MS ? FAST_WAIT_MS : SLOW_WAIT_MS;
    const int readCount = readSet.copyTo(reading);
    const int connectCount = connectSet.copyTo(connecting);
    int result = -1;
    if (readCount + connectCount > 0)
      result = platform::selectSockets(reading, readCount, readable, connecting, connectCount, writable, wait);
    if (result >= 0 && connectCount > 0) dropFailedConnects(connecting, writable, connectCount);

    if (result <= 0) {
      // Nothing to wait on, or the wait failed: pause instead of spinning.
      if (result < 0) platform::sleepMilliseconds(static_cast<uint32_t>(wait));
      idle = std::min(idle + wait, IDLE_CAP_MS);
      idleTotal = std::min(idleTotal + wait, IDLE_CAP_MS);
      if (lastTimeout == 0) idle = 0;
      lastTimeout = videoTimeout.load(std::memory_order_relaxed);
      if (lastTimeout != 0 && idle > lastTimeout) reportLostStream();
      continue;
    }
    idle = 0;
    idleTotal = 0;
    if (!serveReadyStreams(reading, readable, readCount, connecting, writable, connectCount)) return;
  }
}

bool StreamReceiver::serveReadyStreams(const platform::Socket* reading, const bool* readable, int readCount,
                                       const platform::Socket* connecting, const bool* writable, int connectCount) {
  for (int stream = 0; stream < STREAM_COLUMNS; ++stream) {
    MediaSocket& socket = sockets[RECEIVE_ROW][stream];
    const platform::Socket handle = socket.handle();
    if (handle == platform::InvalidSocket) continue;
    const MediaSocketState state = socket.currentState();
    if (state == MediaSocketState::RequestPending && readyIn(handle, connecting, writable, connectCount)) {
      finishTunnelConnect(stream);
    } else if (state == MediaSocketState::Ready && readyIn(handle, reading, readable, readCount)) {
      if (!readPackets(stream)) return false;
    }
  }
  return true;
}

// The TCP connect of a receive stream is complete: its media-tunnel request
// goes out and the stream is read from now on.
void StreamReceiver::finishTunnelConnect(int stream) {
  MediaSocket& socket = sockets[RECEIVE_ROW][stream];
  CriticalSectionLock io(&socket.ioLock);
  if (socket.currentState() != MediaSocketState::RequestPending) return;
  // A connection that cannot take its request (a failed TLS handshake among
  // them) stays writable: left in the set, it would be tried again at once,
  // pass after pass.
  if (socket.sendTunnelRequest() < 0) socket.close();
}

// Reads the stream's packets while they keep coming, a turn's worth, or on
// while TLS holds whole records already (no wait would report those). False
// when the streamer let go of the receiver meanwhile.
bool StreamReceiver::readPackets(int stream) {
  MediaSocket& socket = sockets[RECEIVE_ROW][stream];
  for (int served = 1;; ++served) {
    int length;
    bool acknowledge;
    {
      CriticalSectionLock io(&socket.ioLock);
      length = socket.receive();
      acknowledge = socket.rtcpAck != 0;
    }
    if (!running.load(std::memory_order_acquire)) return false;
    if (length < RTP_HEADER_SIZE) return true;
    uint8_t* packet = socket.packetData();
    if (acknowledge && (packet[1] & RTP_MARKER) != 0) sendRtcpAck(socket, packet);
    bool buffered;
    {
      CriticalSectionLock guard(&lock);
      applyCipher(RECEIVE_ROW, stream, packet, length, true);
      deliver(packet, length);
      buffered = socket.sslPending() > 4;
    }
    if (!buffered && served >= PACKETS_PER_TURN) return true;
  }
}

void StreamReceiver::deliver(uint8_t* packet, int length) {
  if (receiveCallback == nullptr) return;
  if (raw != 0) {
    receiveCallback(receiveContext, RtpPacketComplete, packet, length);
    return;
  }
  const int type = packet[1] & 0x7F;
  const int headerLength = type == 32 || type == 33 ? 16 : RTP_HEADER_SIZE;
  if (length <= headerLength) return;
  receiveCallback(receiveContext, static_cast<RtpPayloadType>(type), packet + headerLength, length - headerLength);
}

void StreamReceiver::dropFailedConnects(const platform::Socket* connecting, const bool* writable, int count) {
  for (int i = 0; i < count; ++i) {
    if (writable[i]) continue;
    int error = 0;
    int size = sizeof error;
    if (platform::getSocketOption(connecting[i], SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0)
      connectSet.remove(connecting[i]);
  }
}

void StreamReceiver::reportLostStream() {
  CriticalSectionLock guard(&lock);
  if (receiveCallback != nullptr) receiveCallback(receiveContext, RtpPacketComplete, nullptr, 0);
  videoTimeout.store(0, std::memory_order_relaxed);
}

void StreamReceiver::sendRtcpAck(MediaSocket& socket, const uint8_t* packet) {
  // A receiver report with one block, framed; its length word is 0x001F as
  // devices expect it.
  uint8_t ack[RTCP_ACK_SIZE] = {0x03, 0x00, 0x00, RTCP_ACK_SIZE, 0x81, 0xC9, 0x00, 0x1F};
  ack[22] = packet[2];
  ack[23] = packet[3];
  socket.sendRaw(ack, sizeof ack);
}

void StreamReceiver::installCipher(int row, int column, const uint8_t masterKey[STREAM_KEY_SIZE]) {
  C_Cryptlfc* cipher = createCrypt(CryptAes);
  cipher->setRtpMasterKey(masterKey);
  C_Cryptlfc* replaced;
  {
    std::lock_guard<std::mutex> guard(cipherLock);
    replaced = ciphers[row][column];
    ciphers[row][column] = cipher;
  }
  delete replaced;
}

void StreamReceiver::applyCipher(int row, int column, uint8_t* packet, int length, bool decrypt) {
  std::lock_guard<std::mutex> guard(cipherLock);
  C_Cryptlfc* cipher = ciphers[row][column];
  if (cipher == nullptr) return;
  if (decrypt)
    cipher->decryptRtp(packet, static_cast<uint32_t>(length));
  else
    cipher->encryptRtp(packet, static_cast<uint32_t>(length));
}

}  // namespace zelkit::detail
