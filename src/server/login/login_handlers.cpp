#include <cstdio>

#include "core/connection/connection.h"
#include "server/login/challenge.h"
#include "server/login/credentials.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

constexpr uint32_t CREDENTIALS_FOLLOW = 1;
// Lengths above this are taken as 127.
constexpr int TEXT_LENGTH_KEPT = 128;
constexpr int TEXT_LENGTH_CLAMPED = 127;

}  // namespace

void ZelServer::registerAtServer(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload) {
  const uint32_t credentialWord = static_cast<uint32_t>(payload.readULong());
  const bool splitAtFirst = payload.readOctet() != 0;
  int textLength = payload.readOctet();
  const int idCount = payload.readUShort();
  for (int i = 0; i < idCount; ++i) payload.readUShort();  // message ids: a server sends what it likes
  if (textLength > TEXT_LENGTH_KEPT) textLength = TEXT_LENGTH_CLAMPED;
  if (textLength > payload.available()) textLength = payload.available();

  const uint32_t kind = credentialWord >> 24;
  char hookText[detail::CREDENTIAL_TEXT_MAX];
  const char* text = hookText;
  if (kind == CREDENTIALS_FOLLOW) {
    text = reinterpret_cast<const char*>(payload.skip(textLength));
  } else {
    // A hook registration: user "Hook<kind>", password its number.
    textLength = std::snprintf(hookText, sizeof hookText, "+Hook%d:%d+", static_cast<int32_t>(credentialWord) >> 24,
                               static_cast<int>(credentialWord & 0xFFFF));
  }
  detail::Credentials credentials;
  detail::splitCredentials(text, textLength, splitAtFirst, credentials);

  if (!session) return;
  ZelSession& target = *session.get();
  ZelOutputStream reply;
  if (kind == 0) {
    reply.writeUShort(0);  // a plain registration keeps the level
  } else {
    const int granted = target.onLogin(header, credentials.user, credentials.password);
    target.setPrivilegeLevel(granted < 1 ? 0 : granted);
    reply.writeOctet(granted < 1 ? 0 : 1);
    reply.writeOctet(granted < 1 ? 0 : static_cast<unsigned char>(granted));
  }
  reply.writeUShort(static_cast<unsigned short>(target.connection_->clientId));
  target.respond(header, reply);
}

void ZelServer::onLoginState(ZelSessionRef const& session, ZelHeader& header, ZelInputStream&) {
  ZelSession& target = *session.get();
  const int level = target.getPrivilegeLevel();
  ZelOutputStream reply;
  reply.writeOctet(level != 0 ? 1 : 0);
  reply.writeOctet(static_cast<unsigned char>(level));
  reply.writeUShort(static_cast<unsigned short>(target.connection_->clientId));
  target.respond(header, reply);
}

void ZelServer::onChallenge(ZelSessionRef const& session, ZelHeader& header, ZelInputStream&) {
  ZelSession& target = *session.get();
  char challenge[detail::CHALLENGE_TEXT_LENGTH + 1];
  detail::giveLoginChallenge(*target.connection_, challenge);
  ZelOutputStream reply;
  reply.writeString(challenge);
  target.respond(header, reply);
}

}  // namespace zelkit
