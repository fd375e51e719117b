#pragma once

#include <cstdint>

namespace zelkit::detail {

constexpr int CREDENTIAL_TEXT_MAX = 128;

// The user name and password of a registration, split out of its text.
struct Credentials {
  char text[CREDENTIAL_TEXT_MAX + 1];
  const char* user;
  const char* password;  // null when the text has no ':'
};

// The text is a frame character, the user name, ':', the password and a
// frame character (a challenge response puts the challenge between two
// ':'). The user name ends at the last ':' with split mode 0, at the first
// otherwise; the password follows the last. A text shorter than its two
// frame characters gives an empty user name.
void splitCredentials(const char* text, int length, bool splitAtFirst, Credentials& out);

}  // namespace zelkit::detail
