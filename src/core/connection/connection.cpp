#include "core/connection/connection.h"

#include <cstdlib>
#include <cstring>

#include "core/connection/accepted_client_ids.h"
#include "core/engine/lock.h"
#include "platform/completion_port.h"
#include "platform/socket.h"
#include "zelkit/client.h"
#include "zelkit/server.h"

namespace zelkit::detail {

int32_t pendingConnects = 0;

namespace {

constexpr uint32_t SYSTEM_LOG_ADDRESS = 0x7F010101;  // 127.1.1.1

void freePacket(ZelPacket*& packet) {
  if (packet != nullptr) ZelPacket::free(packet);
  packet = nullptr;
}

template <typename Packets>
void markReset(Packets& packets) {
  for (ZelPacket* packet = packets.first(); packet != nullptr; packet = packet->pNext)
    packet->remainingMs = RESET_REMAINING_MS;
}

void freeChain(ZelPacket* first) {
  while (first != nullptr) {
    ZelPacket* next = first->pNext;
    ZelPacket::free(first);
    first = next;
  }
}

}  // namespace

Connection::Connection(const char* text, uint32_t requestCounterStart, platform::Socket acceptedSocket,
                       bool allocateHttpBuffer, ZelSession* owner)
    : url(strdup(text)), socketHandle(acceptedSocket), requestCounter(requestCounterStart), session(owner) {
  receiveOp.mode = ConnectionReceive;
  sendOp.mode = ConnectionSend;
  core().connectionList().pushFront(this);
  lastActivityTick = tickCount();
  if (allocateHttpBuffer) httpBuffer = ZelPacket::alloc(HTTP_BUFFER_CAPACITY);

  auto* ipv4 = reinterpret_cast<sockaddr_in*>(&address);
  ipv4->sin_family = AF_INET;
  ipv4->sin_addr.s_addr = 0xFFFFFFFF;
  const bool addressUsable = parseUrl(text) == 0;
  if (isIpv4() && ipv4Address() == htonl(SYSTEM_LOG_ADDRESS)) state = ConnectionState::Failed;
  openLog();
  if (!addressUsable) {
    core().log(this, "ipv6", "Error parsing IPv6 address %s", host);
    state = ConnectionState::Failed;
  }

  if (acceptedSocket != 0) {
    clientId = takeAcceptedClientId();
    holdsClientId = clientId != 0;
    state = ConnectionState::Registered;
    platform::setNonBlocking(acceptedSocket, true);
    platform::associateSocket(core().port(), acceptedSocket, reinterpret_cast<uintptr_t>(this));
  }
  // A client connection stays idle until its first request or connect().
}

Connection::~Connection() {
  close(LocalEvent::ConnectionClosed, "Destructor", 0);
  GlobalLock lock;
  core().unlinkConnection(this);
  core().forgetDeferredSend(this);
  if (logFile != nullptr) std::fclose(logFile);
  logFile = nullptr;
  std::free(url);
  std::free(host);
  // A completion that still arrives is not taken for a connection's.
  receiveOp.mode = 0xdeadffff;
  sendOp.mode = 0xdeadffff;
  releaseSsl();  // its raw buffer stays when a media stream took the context
  freePacket(httpBuffer);
  fragments.clear();
  delete[] inbox;
  while (CallbackEntry* entry = callbacks.popFront()) delete entry;
  for (auto& [tag, ids] : commandIds)
    for (ZelPacket* waiting : ids.waiting) freeChain(waiting);
}

uint32_t Connection::ipv4Address() const { return reinterpret_cast<const sockaddr_in*>(&address)->sin_addr.s_addr; }

uint16_t Connection::port() const { return ntohs(address.sin6_port); }

void Connection::close(uint32_t eventCode, const char* reasonFormat, uint32_t argument) {
  GlobalLock lock;
  Core& engine = core();
  // Given back at the first close, however the connection ends: by the
  // destructor's close the session may be gone already.
  if (holdsClientId) releaseAcceptedClientId(static_cast<uint16_t>(clientId));
  holdsClientId = false;
  if (state != ConnectionState::Idle) {
    engine.notifyLocal(eventCode, this);
    engine.log(this, "fin ", reasonFormat, argument);
  }
  waitForUnlockedWrite();  // it reads the socket and the gather
  if (socketHandle != 0) platform::closeSocket(socketHandle);
  ++socketGeneration;
  receiveTicket = 0;
  sendTicket = 0;
  deferCountdownMs = 0;
  connectAttempts = 0;
  socketHandle = 0;
  // The socket is closed: no send is outstanding (what its completion would
  // have ended ends here), the layer reads none of the packets being sent,
  // and the next socket must not carry the rest of a request begun on this one.
  sendInProgress = false;
  endGather();
  if (partlySent != nullptr) dropUnsentRest();
  while (ZelPacket* packet = retiredWhileSending.popFront()) ZelPacket::free(packet);
  // Its outcome, delivered later, would reach the login of the next connect.
  dropLoginRequests();
  freePacket(receivePacket);
  receiveRemaining = 0;
  receivePhase = ReceivePhase::Header;
  inboxLength = 0;
  // A half-joined packet must not be continued by the next connection's frames.
  fragments.clear();
  if (state == ConnectionState::Connecting) --pendingConnects;
  state = ConnectionState::Idle;
  markReset(pending);
  markReset(sendQueue);
  for (auto& [tag, ids] : commandIds)
    for (ZelPacket* waiting : ids.waiting) waiting->remainingMs = RESET_REMAINING_MS;
  sslHandshakeDone = false;
  if (addressExpiryTick != 0 && addressExpiryTick - tickCount() > DNS_CACHE_MS) address.sin6_family = 0;
  if (session != nullptr) {
    state = ConnectionState::Failed;
    session->self_.reset();  // may delete the session, and this connection with it
  }
}

int Connection::getStatistics(int kind, ZelClient* client) {
  if (kind != 0 && kind != 1) return -1;
  GlobalLock lock;
  if (kind == 0 && client != nullptr) return client->connection_->refCount;
  int result = 0;
  for (Connection* connection = core().connectionList().first(); connection != nullptr;
       connection = connection->next) {
    if (kind == 0)
      result += connection->refCount;
    else
      result += connection->state != ConnectionState::Idle && connection->state != ConnectionState::Failed;
  }
  return result;
}

}  // namespace zelkit::detail
