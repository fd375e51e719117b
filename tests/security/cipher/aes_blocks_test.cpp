#include "security/cipher/aes_blocks.h"

#include <gtest/gtest.h>

#include "security/cipher/aes.h"
#include "security/cipher/cipher_support.h"

namespace zelkit::detail {
namespace {

using test::Bytes;

// The class runs the AES instructions where the processor has them: the
// round tables must give the same bytes, in both directions.
TEST(AesBlocks, TablesAndInstructionsAgree) {
  if (!aesInstructionsAvailable()) GTEST_SKIP() << "no AES instructions on this processor";
  for (uint32_t seed = 1; seed <= 8; ++seed) {
    const Bytes key = test::randomBytes(16, seed);
    const Bytes plain = test::randomBytes(16 * 33, seed + 50);
    for (int direction : {0, 1}) {
      SCOPED_TRACE(direction);
      C_CryptAES cipher;
      cipher.setKey(key.data(), direction);
      Bytes byTables = plain;
      Bytes byInstructions = plain;
      const uint32_t blocks = static_cast<uint32_t>(plain.size() / 16);
      if (direction == 0) {
        aesTableEncrypt(cipher.roundKeys, byTables.data(), blocks);
        aesInstructionsEncrypt(cipher.roundKeys, byInstructions.data(), blocks);
      } else {
        aesTableDecrypt(cipher.roundKeys, byTables.data(), blocks);
        aesInstructionsDecrypt(cipher.roundKeys, byInstructions.data(), blocks);
      }
      EXPECT_EQ(byTables, byInstructions);
      EXPECT_NE(byTables, plain);
    }
  }
}

}  // namespace
}  // namespace zelkit::detail
