#include "server/login/credentials.h"

#include <algorithm>
#include <cstring>

namespace zelkit::detail {

void splitCredentials(const char* text, int length, bool splitAtFirst, Credentials& out) {
  length = std::clamp(length, 0, CREDENTIAL_TEXT_MAX);
  std::memcpy(out.text, text, static_cast<std::size_t>(length));
  out.text[length] = '\0';
  out.password = nullptr;
  if (length < 2) {
    out.user = out.text + length;
    return;
  }
  // The last character is the closing frame; the user name starts after
  // the opening one.
  out.text[length - 1] = '\0';
  char* user = out.text + 1;
  out.user = user;
  char* lastColon = std::strrchr(user, ':');
  if (lastColon == nullptr) return;
  out.password = lastColon + 1;
  *(splitAtFirst ? std::strchr(user, ':') : lastColon) = '\0';
}

}  // namespace zelkit::detail
