#include "server/login/challenge.h"

#include <cstdio>
#include <cstring>

#include "security/rsa/random.h"

namespace zelkit::detail {

namespace {

constexpr int DIGIT_COUNT = 12;

struct ChallengeDigits {
  char text[DIGIT_COUNT + 1];
  ChallengeDigits() {
    uint8_t random[DIGIT_COUNT];
    randomBytes(random, DIGIT_COUNT);
    for (int i = 0; i < DIGIT_COUNT; ++i) text[i] = static_cast<char>('0' + random[i] % 10);
    text[DIGIT_COUNT] = '\0';
  }
};

}  // namespace

void challengeText(uint16_t clientId, char* out17) {
  static const ChallengeDigits* const digits = new ChallengeDigits();  // made on first use, once
  std::memcpy(out17, digits->text, DIGIT_COUNT);
  std::snprintf(out17 + DIGIT_COUNT, CHALLENGE_TEXT_LENGTH + 1 - DIGIT_COUNT, "%04x", clientId);
}

}  // namespace zelkit::detail
