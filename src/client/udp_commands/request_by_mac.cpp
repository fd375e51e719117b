#include <cstring>

#include "client/null_reference.h"
#include "client/scanner/reply_parsing.h"
#include "client/udp_commands/udp_targets.h"
#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/byte_io.h"
#include "core/wire/conversions.h"
#include "platform/completion_port.h"
#include "platform/errors.h"
#include "zelkit/scanner.h"

namespace zelkit {

namespace {

constexpr uint8_t ENVELOPE_MAGIC[4] = {0x4B, 0xA5, 0xC3, 0x55};
constexpr int ENVELOPE_SIZE = 26;

// The pseudo connection's datagram socket, made on first use and kept for
// the life of the library; its receives are read whole, as datagrams.
struct RequestSocket {
  detail::Connection* connection = nullptr;
  uint16_t localPort = 0;  // network order
};

uint32_t sequenceCounter = 0;

// Under the library lock.
RequestSocket& requestSocket() {
  static RequestSocket requests;
  detail::Core& engine = detail::core();
  // Looked up once: every lookup by URL counts one more reference.
  if (requests.connection == nullptr) requests.connection = engine.getConnection(detail::SYSTEM_LOG_URL);
  detail::Connection* connection = requests.connection;
  if (connection->socketHandle <= 0) {
    const platform::Socket socket = engine.getUdpSocket(AF_INET, 0, &requests.localPort, false);
    connection->socketHandle = socket > 0 ? socket : 0;
    if (socket > 0) {
      detail::setSocketFlag(socket, SOL_SOCKET, SO_BROADCAST, 1);
      platform::associateSocket(engine.port(), socket, reinterpret_cast<uintptr_t>(connection));
      connection->startDatagramReceive();
    }
  }
  return requests;
}

// The envelope that names the device and where its reply goes, then the payload.
void writeBody(ZelOutputStream& body, uint32_t sequence, uint16_t replyPort, const uint8_t* mac,
               const ZelOutputStream* payload) {
  uint8_t* envelope = body.reserve(ENVELOPE_SIZE);
  std::memcpy(envelope, ENVELOPE_MAGIC, sizeof ENVELOPE_MAGIC);
  detail::writeBE32(envelope + 4, sequence);
  detail::writeBE16(envelope + 8, 0);
  std::memcpy(envelope + 10, &replyPort, sizeof replyPort);
  detail::writeBE32(envelope + 12, 1);
  detail::writeBE32(envelope + 16, 14);
  std::memcpy(envelope + 20, mac, detail::MAC_SIZE);
  if (payload != nullptr && payload->size() > 0) body.write(payload->getPayload(), payload->size());
}

// The request waits on the pending list for its reply (or time-out) like
// any other; the datagram carries header and body without a TPKT word.
void sendDatagram(detail::Connection* connection, detail::ZelPacket* request) {
  connection->pending.pushFront(request);
  const sockaddr_in destination = detail::broadcastTo(detail::REQUEST_BY_MAC_PORT);
  const int length = detail::ZEL_HEADER_SIZE + request->payloadLength;
  if (platform::sendDatagram(connection->socketHandle, request->wire + detail::TPKT_HEADER_SIZE, length,
                             reinterpret_cast<const sockaddr*>(&destination), sizeof destination) < 1)
    detail::core().log(connection, "scan", "sendto error %d", static_cast<int>(platform::lastError()));
}

}  // namespace

int NetworkScanner::sendRequest(int timeoutMs, unsigned char const* mac, unsigned long commandWord,
                                unsigned long sessionId, unsigned short num, ZelOutputStream& payload,
                                ZelCallback callback, void* context) {
  detail::Core& engine = detail::core();
  engine.ensureInitialized();
  detail::GlobalLock lock;
  RequestSocket& requests = requestSocket();
  const uint32_t sequence = ++sequenceCounter;
  ZelOutputStream body;
  writeBody(body, sequence, requests.localPort, mac, detail::streamOrNull(payload));
  const int bodyLength = body.size();
  detail::ZelPacket* request = body.extractPacket();
  // The time-out is used as given: 0 expires at the next pass.
  request->remainingMs = timeoutMs;
  request->callback = callback;
  request->context = context;
  request->waiterEvent = nullptr;
  request->sourceUrl = requests.connection->url;
  request->setTpktWord(0);
  request->setHeaderWord(0, static_cast<uint32_t>(commandWord));
  request->setHeaderWord(1, (sequence & 0xFF) << 16);
  request->setHeaderWord(2, static_cast<uint32_t>(sessionId));
  request->setHeaderWord(3, static_cast<uint32_t>(num) << 16 | static_cast<uint32_t>(bodyLength));
  sendDatagram(requests.connection, request);
  engine.startWorker(false);
  return static_cast<int>(sequence);
}

int NetworkScanner::sendRequest(int timeoutMs, unsigned char const* mac, unsigned long commandWord,
                                unsigned long sessionId, unsigned short num, ZelCallback callback, void* context) {
  return sendRequest(timeoutMs, mac, commandWord, sessionId, num, detail::emptyPayload(), callback, context);
}

}  // namespace zelkit
