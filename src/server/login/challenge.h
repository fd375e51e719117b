#pragma once

#include <cstdint>

namespace zelkit::detail {

constexpr int CHALLENGE_TEXT_LENGTH = 16;

// The login challenge of a client: 12 digits drawn once per process, then
// the client id as "%04x". out holds 17 characters with the terminator.
void challengeText(uint16_t clientId, char* out17);

}  // namespace zelkit::detail
