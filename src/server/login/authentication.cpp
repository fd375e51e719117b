#include <cstring>

#include "core/connection/connection.h"
#include "server/login/challenge.h"
#include "zelkit/session.h"

namespace zelkit {

namespace {

constexpr std::size_t DIGEST_LENGTH = 32;

}  // namespace

bool ZelSession::checkAuthentication(const char* user, const char* expected, const char* received) {
  if (user == nullptr || expected == nullptr || received == nullptr) return false;
  if (std::strlen(received) != DIGEST_LENGTH) return std::strcmp(received, expected) == 0;
  char challenge[detail::CHALLENGE_TEXT_LENGTH + 1];
  // A digest answers the challenge this connection was given, or nothing.
  if (connection_ == nullptr || !detail::givenLoginChallenge(*connection_, challenge)) return false;
  char digest[DIGEST_LENGTH + 1];
  detail::makeAuthDigest(user, expected, challenge, digest);
  return std::strcmp(received, digest) == 0;
}

}  // namespace zelkit
