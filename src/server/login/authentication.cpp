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
  if (connection_ == nullptr) return false;
  char challenge[detail::CHALLENGE_TEXT_LENGTH + 1];
  detail::challengeText(static_cast<uint16_t>(connection_->clientId), challenge);
  char digest[DIGEST_LENGTH + 1];
  detail::makeAuthDigest(user, expected, challenge, digest);
  return std::strcmp(received, digest) == 0;
}

}  // namespace zelkit
