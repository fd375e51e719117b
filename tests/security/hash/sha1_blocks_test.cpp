#include "security/hash/sha1_blocks.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace zelkit::detail {
namespace {

// SHA-1 runs the SHA instructions where the processor has them: the plain
// code must give the same words, over one block and over many.
TEST(Sha1Blocks, PlainAndInstructionsAgree) {
  if (!sha1InstructionsAvailable()) GTEST_SKIP() << "no SHA instructions on this processor";
  std::mt19937 generator(7);
  std::vector<uint8_t> data(64 * 37);
  for (uint8_t& byte : data) byte = static_cast<uint8_t>(generator());
  for (uint32_t count : {1u, 2u, 37u}) {
    SCOPED_TRACE(count);
    uint32_t plain[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    uint32_t instructions[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    sha1PlainBlocks(plain, data.data(), count);
    sha1InstructionsBlocks(instructions, data.data(), count);
    EXPECT_EQ(std::vector<uint32_t>(plain, plain + 5), std::vector<uint32_t>(instructions, instructions + 5));
  }
}

}  // namespace
}  // namespace zelkit::detail
