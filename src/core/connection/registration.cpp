#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/socket.h"

namespace zelkit::detail {

namespace {

constexpr uint32_t KIND_NO_CREDENTIALS = 0x00000000;
constexpr uint32_t KIND_CREDENTIALS = 0x01000000;
constexpr uint32_t KIND_HOOK_ON = 0x02000000;
constexpr int CHALLENGE_RESPONSE_FLAG = 256;
constexpr int CHALLENGE_LENGTH = 16;
constexpr int CREDENTIAL_TEXT_MAX = 128;
// Connects that fail while this many others were pending are paced next time.
constexpr int32_t PACED_CONNECT_RANK = 10;

void writeRegisterPayload(ZelOutputStream& payload, uint32_t kind, int lengthField, const Connection& connection,
                          const char* text, int textLength) {
  payload.writeULong(kind);
  payload.writeUShort(static_cast<unsigned short>(lengthField));
  payload.writeUShort(static_cast<unsigned short>(connection.messageIdCount));
  for (int i = 0; i < connection.messageIdCount; ++i) payload.writeUShort(connection.messageIds[i]);
  payload.write(text, textLength);
}

}  // namespace

void Connection::sendRegistrationRequest(uint32_t tag, ZelOutputStream& payload, bool withCallback) {
  core().sendRequest(std::abs(core().connectTimeout()), this, ZelHeader(tag, 0), Request, payload, nullptr,
                     withCallback ? onRegisterReply : nullptr, withCallback ? this : nullptr);
}

void Connection::startRegistration() {
  if (std::strncmp(user, "HookOn", 6) == 0 || std::strncmp(user, "cookie", 6) == 0)
    registerAtDevice(true);
  else
    sendRegistrationRequest(ZelTag::RequestChallenge, emptyPayload(), true);
}

void Connection::registerAtDevice(bool withCredentials) {
  // An idle connection tells the device its message ids with its next
  // login; an update now would only open it.
  if (!withCredentials && state == ConnectionState::Idle) return;
  uint32_t kind = KIND_NO_CREDENTIALS;
  char text[CREDENTIAL_TEXT_MAX] = "";
  int textLength = 0;
  int hook = 0;
  const bool hookOn = std::sscanf(user, "HookOn%d", &hook) == 1;
  if (hookOn) {
    kind = KIND_HOOK_ON | (static_cast<uint32_t>(hook) & 0xFFFF);
  } else if (withCredentials) {
    kind = KIND_CREDENTIALS;
    textLength = std::snprintf(text, sizeof text, "+%s:%s+", user, password);
  }
  ZelOutputStream payload;
  writeRegisterPayload(payload, kind, textLength, *this, text, textLength);
  sendRegistrationRequest(ZelTag::Register, payload, withCredentials);
}

void Connection::answerChallenge(ZelHeader&, ZelInputStream& stream) {
  // The challenge is text: it ends at its first zero byte or after 16 bytes,
  // or with a short reply, where the reply ends.
  char challenge[CHALLENGE_LENGTH + 1] = {};
  const int available = stream.available();
  stream.read(challenge, available < CHALLENGE_LENGTH ? available : CHALLENGE_LENGTH);
  char digest[33];
  makeAuthDigest(user, password, challenge, digest);
  char text[CREDENTIAL_TEXT_MAX];
  const int textLength = std::snprintf(text, sizeof text, "+%s:%s:%s+", user, challenge, digest);
  ZelOutputStream payload;
  writeRegisterPayload(payload, KIND_CREDENTIALS, textLength + CHALLENGE_RESPONSE_FLAG, *this, text, textLength);
  sendRegistrationRequest(ZelTag::Register, payload, true);
}

void Connection::dropLoginRequests() {
  PacketChain logins;
  auto takeLogins = [&](auto& packets) {
    int taken = 0;
    for (ZelPacket* packet = packets.first(); packet != nullptr;) {
      ZelPacket* next = packet->pNext;
      if (packet->callback == onRegisterReply) {
        packets.remove(packet);
        logins.pushFront(packet);
        ++taken;
      }
      packet = next;
    }
    return taken;
  };
  queuedCount -= takeLogins(sendQueue);
  takeLogins(pending);
  // Only now: a freed id may go to a waiting request at once.
  while (ZelPacket* login = logins.popFront()) {
    releaseTransactionId(login);
    ZelPacket::free(login);
  }
}

void Connection::onRegisterReply(void* context, ZelHeader& header, ZelInputStream& stream) {
  auto* connection = static_cast<Connection*>(context);
  GlobalLock lock;
  Core& engine = core();
  if (!engine.knowsOwnAddress() && header.errorCode == 0 && connection->socketHandle > 0) {
    sockaddr_in6 local{};
    int length = sizeof local;
    if (platform::localAddress(connection->socketHandle, reinterpret_cast<sockaddr*>(&local), &length) == 0)
      engine.setOwnAddress(reinterpret_cast<sockaddr*>(&local));
  }
  if (connection->state == ConnectionState::Registered) return;
  if (connection->state == ConnectionState::Connecting) --pendingConnects;

  if (header.tag == ZelTag::RequestChallenge) {
    if (header.errorCode == InvalidCmd) {
      connection->registerAtDevice(true);
      return;
    }
    if (header.mode == Reply) {
      connection->answerChallenge(header, stream);
      return;
    }
  }
  // A reply too short to hold result, privilege and client id is refused
  // like an error reply.
  if (header.mode == Reply && stream.available() >= 4) {
    const uint8_t result = stream.readOctet();
    connection->privilegeLevel = stream.readOctet();
    connection->clientId = stream.readUShort();
    connection->state = ConnectionState::Registered;
    engine.notifyLocal(result != 0 ? LocalEvent::Registered : LocalEvent::RegisteredResultZero, connection);
    connection->sendQueued();
    return;
  }
  const ConnectionState before = connection->state;
  // A login that failed here (its time-out) after the transport came up
  // ends the connect as surely as a connect that never completed; a
  // device's refusal does not.
  const bool transportUp = before == ConnectionState::TransportUp || before == ConnectionState::AwaitingApproval;
  if (before == ConnectionState::Connecting || (transportUp && header.mode == LocalError))
    engine.notifyLocal(LocalEvent::ConnectFailed, connection);
  connection->state = ConnectionState::Idle;
  connection->close(LocalEvent::ConnectionClosed, "Registration refused", 0);
  if (before == ConnectionState::Connecting && connection->connectRank < PACED_CONNECT_RANK)
    connection->deferIfBusy = true;
}

}  // namespace zelkit::detail
