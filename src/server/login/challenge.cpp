#include "server/login/challenge.h"

#include <cstdio>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "security/rsa/random.h"

namespace zelkit::detail {

namespace {

constexpr int DIGIT_COUNT = 12;

static_assert(sizeof Connection::loginChallenge == CHALLENGE_TEXT_LENGTH + 1);

}  // namespace

void giveLoginChallenge(Connection& connection, char* out17) {
  GlobalLock lock;
  char* challenge = connection.loginChallenge;
  if (challenge[0] == '\0') {
    uint8_t random[DIGIT_COUNT];
    randomBytes(random, DIGIT_COUNT);
    for (int i = 0; i < DIGIT_COUNT; ++i) challenge[i] = static_cast<char>('0' + random[i] % 10);
    std::snprintf(challenge + DIGIT_COUNT, CHALLENGE_TEXT_LENGTH + 1 - DIGIT_COUNT, "%04x",
                  static_cast<uint16_t>(connection.clientId));
  }
  std::memcpy(out17, challenge, CHALLENGE_TEXT_LENGTH + 1);
}

bool givenLoginChallenge(Connection& connection, char* out17) {
  GlobalLock lock;
  std::memcpy(out17, connection.loginChallenge, CHALLENGE_TEXT_LENGTH + 1);
  return out17[0] != '\0';
}

}  // namespace zelkit::detail
