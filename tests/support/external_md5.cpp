#include "support/external_md5.h"

#include <stdexcept>

#include "support/external_tool.h"

namespace zeltest {

std::string externalMd5Hex(std::string_view data) {
  const auto output = zelkit::test::runTool("md5sum", zelkit::test::Bytes(data.begin(), data.end()));
  if (!output || output->size() < 32) throw std::runtime_error("md5sum failed");
  return std::string(output->begin(), output->begin() + 32);
}

std::string expectedLoginDigest(std::string_view challenge, std::string_view user, std::string_view password) {
  std::string text = "+";
  text.append(challenge).append("+++").append(user).append(":").append(password).append("+");
  return externalMd5Hex(text);
}

}  // namespace zeltest
