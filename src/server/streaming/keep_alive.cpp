// The end of media sessions: the client's disconnect, its keep-alives, and
// the countdown that ends sessions whose client went quiet.
#include <vector>

#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/packet.h"
#include "server/streaming/media_tables.h"
#include "zelkit/exceptions.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

constexpr uint32_t CMD_DISCONNECT_PRIMITIVE_MESSAGE = 0xFF0D0031;
constexpr int REASON_CLIENT_ASKED = 1;
constexpr int REASON_NO_KEEP_ALIVE = 5;
constexpr int KEEP_ALIVE_STEP = 4;

}  // namespace

void RtpStreamerSession::disconnect(int reason) {
  ZelHeader header(CMD_DISCONNECT_PRIMITIVE_MESSAGE, detail::Message, 0, 0, sessionId_, 0);
  ZelOutputStream payload;
  payload.writeOctet(static_cast<unsigned char>(reason));
  ZelServer* server;
  {
    detail::GlobalLock lock;
    server = detail::core().server();
  }
  if (server != nullptr) server->notify(header, payload);
  disconnected_.store(true, std::memory_order_release);
}

void RtpStreamerSession::decrementKeepAlives(int amount) {
  // Ended once every lock is let go: the notification waits for neither.
  std::vector<RtpStreamerSessionRef> expired;
  {
    detail::GlobalLock lock;
    detail::MediaTables& tables = detail::mediaTables();
    for (int line = 0; line < detail::MEDIA_LINES; ++line) {
      detail::CriticalSectionLock table(&tables.lock);
      if (tables.noKeepAlive[line] != 0) continue;
      tables.forEachInLine(line, [&](RtpStreamerSession* session) {
        if (session->keepAlive_.fetch_sub(amount, std::memory_order_relaxed) - amount < 0)
          expired.push_back(session->handle());
      });
    }
  }
  for (RtpStreamerSessionRef& session : expired) session->disconnect(REASON_NO_KEEP_ALIVE);
}

void ZelServer::onKeepAliveTimer(void*, ZelHeader&, ZelInputStream&) {
  RtpStreamerSession::decrementKeepAlives(KEEP_ALIVE_STEP);
}

void ZelServer::onDisconnectPrimitive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream&) {
  if (session->getPrivilegeLevel() == 0) Exception::doThrow(InvalidAuthorizationLevel);
  ZelServer* server;
  {
    detail::GlobalLock lock;
    server = detail::core().server();
  }
  if (server != nullptr) {
    const RtpStreamerSessionRef media = server->getStreamerSession(header.sessionId);
    if (media) media->disconnect(REASON_CLIENT_ASKED);
  }
  ZelOutputStream reply;
  reply.writeOctet(1);  // also when no session was found
  session->respond(header, reply);
}

void ZelServer::onKeepAlive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream&) {
  ZelServer* server;
  {
    detail::GlobalLock lock;
    server = detail::core().server();
  }
  const RtpStreamerSessionRef media = server != nullptr ? server->getStreamerSession(header.sessionId)
                                                          : RtpStreamerSessionRef();
  if (media) {
    media->updateKeepAlive();
  } else {
    // An error reply, so that the client learns its session is gone.
    header.mode = detail::ErrorReply;
    header.errorCode = InvalidSessionId;
  }
  session->respond(header, ZelSession::noPayload());
}

}  // namespace zelkit
