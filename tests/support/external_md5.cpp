#include "support/external_md5.h"

#include <stdexcept>

#include "support/child_process.h"

namespace zeltest {

std::string externalMd5Hex(std::string_view data) {
  const ProcessResult result = runProcess({"md5sum"}, data, std::chrono::seconds(30));
  if (result.exitStatus != 0 || result.output.size() < 32) throw std::runtime_error("md5sum failed");
  return result.output.substr(0, 32);
}

std::string expectedLoginDigest(std::string_view challenge, std::string_view user, std::string_view password) {
  std::string text = "+";
  text.append(challenge).append("+++").append(user).append(":").append(password).append("+");
  return externalMd5Hex(text);
}

}  // namespace zeltest
