#include "zelkit/exceptions.h"
#include "zelkit/server.h"

// The media-session commands every server answers. Until the server streams
// media there is no media session: connecting and listing streams are
// refused, and a disconnect or keep-alive finds no session.
namespace zelkit {

namespace {

void requireLogin(ZelSessionRef const& session) {
  if (session->getPrivilegeLevel() == 0) Exception::doThrow(InvalidAuthorizationLevel);
}

}  // namespace

void ZelServer::onConnectPrimitive(ZelSessionRef const& session, ZelHeader&, ZelInputStream&) {
  requireLogin(session);
  Exception::doThrow(InvalidCmd);
}

void ZelServer::onDisconnectPrimitive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream&) {
  requireLogin(session);
  ZelOutputStream reply;
  reply.writeOctet(1);  // also when no session was found
  session->respond(header, reply);
}

void ZelServer::onListStreams(ZelSessionRef const&, ZelHeader&, ZelInputStream&) { Exception::doThrow(InvalidCmd); }

void ZelServer::onKeepAlive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream&) {
  // An empty reply in the request's own mode: the client does not wait for it.
  header.errorCode = InvalidSessionId;
  session->respond(header, ZelSession::noPayload());
}

void ZelServer::onKeepAliveTimer(void*, ZelHeader&, ZelInputStream&) {
  // Counts the media sessions' keep-alives down; there are none yet.
}

}  // namespace zelkit
