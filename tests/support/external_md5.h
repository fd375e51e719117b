#pragma once

// MD5 from the system's md5sum program: an oracle that shares no code with
// the library's own hash.

#include <string>
#include <string_view>

namespace zeltest {

// 32 lower-case hex characters; throws std::runtime_error when md5sum
// cannot be run.
std::string externalMd5Hex(std::string_view data);

// The login digest a device expects: MD5 of "+%s+++%s:%s+" filled with the
// challenge text, the user and the password.
std::string expectedLoginDigest(std::string_view challenge, std::string_view user, std::string_view password);

}  // namespace zeltest
