// CMD_CONNECT_PRIMITIVE: a client asks the server for media streams.
#include <algorithm>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/packet.h"
#include "security/cipher/crypt.h"
#include "security/rsa/random.h"
#include "server/media/connect_descriptor.h"
#include "server/streaming/connect_request.h"
#include "server/streaming/media_tables.h"
#include "zelkit/exceptions.h"
#include "zelkit/server.h"

namespace zelkit {

void ZelServer::onConnectPrimitive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload) {
  if (session->getPrivilegeLevel() == 0) Exception::doThrow(InvalidAuthorizationLevel);
  uint8_t bytes[detail::ConnectRequest::READ_MAX];
  const int length = std::min(payload.available(), detail::ConnectRequest::READ_MAX);
  payload.read(bytes, length);

  ZelServer* server;
  uint32_t peerAddress = 0;
  {
    detail::GlobalLock lock;
    server = detail::core().server();
    const detail::Connection* connection = session->connection_;
    if (connection != nullptr && connection->isIpv4()) peerAddress = connection->ipv4Address();
  }
  if (server == nullptr) Exception::doThrow(InvalidCmd);
  detail::ConnectRequest request;
  detail::readConnectRequest(bytes, length, peerAddress, request);

  int error = 0;
  RtpStreamerSession* created =
      server->createRtpStreamerSession(session, request.descriptors, request.count, error);
  if (created == nullptr) {
    // An error reply, so that the client sees the refusal and its reason.
    header.mode = detail::ErrorReply;
    header.errorCode = (error & 0xFF) != 0 ? error & 0xFF : UnknownError;
    session->respond(header, ZelSession::noPayload());
    return;
  }
  const RtpStreamerSessionRef media = created->handle();
  header.sessionId = media->sessionId_;
  ZelOutputStream reply;
  media->writeConnectReply(reply, request);
  if (!media->hasTcpStream()) media->onConnectionEstablished();
  session->respond(header, reply);
  // Without a line nothing can reach the session again (no lookup, no
  // countdown): it would be kept by its own handle for ever.
  if (!detail::isMediaLine(media->line_)) media->leaveTables();
}

void RtpStreamerSession::writeConnectReply(ZelOutputStream& reply, const detail::ConnectRequest& request) {
  uint32_t keyed = 0;
  const int echoed = std::min(descriptorCount_, request.count);
  for (int i = 0; i < echoed; ++i) {
    const RtpStreamDescriptor& d = descriptors_[i];
    uint8_t* wire = reply.reserve(detail::CONNECT_DESCRIPTOR_SIZE);
    std::memcpy(wire, request.wire[i], detail::CONNECT_DESCRIPTOR_SIZE);
    wire[3] |= d.connectFlags;
    std::memcpy(wire + 12, &d.address, 4);
    wire[9] = d.transportOptions;
    std::memcpy(wire + 10, &d.port, 2);

    if (!request.wantsKey[i] || d.type < RtpStreamDescriptor::Video || d.type > RtpStreamDescriptor::ThirdStream)
      continue;
    std::atomic<C_Cryptlfc*>& slot = ciphers_[d.type - 1];
    if (slot.load(std::memory_order_acquire) != nullptr) continue;
    uint8_t key[detail::STREAM_KEY_SIZE];
    detail::randomBytes(key, sizeof key);
    C_Cryptlfc* cipher = detail::createCrypt(detail::CryptAes);
    cipher->setRtpMasterKey(key);
    slot.store(cipher, std::memory_order_release);
    detail::writeKeyItems(reply, key);
    keyed |= 1u << i;
  }
  detail::GlobalLock lock;  // read by the media tunnel's attach on the worker
  keyedInReply_ = keyed;
}

}  // namespace zelkit
