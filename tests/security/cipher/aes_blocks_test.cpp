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

// CBC chains through the running vector: one call over many blocks, with
// several blocks decrypted at once, must give what the tables give block
// by block, and leave the same vector for the next call.
TEST(AesBlocks, CbcTablesAndInstructionsAgree) {
  if (!aesInstructionsAvailable()) GTEST_SKIP() << "no AES instructions on this processor";
  const Bytes key = test::randomBytes(16, 3);
  const Bytes iv = test::randomBytes(16, 4);
  for (uint32_t count : {0u, 1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 33u}) {
    SCOPED_TRACE(count);
    const Bytes plain = test::randomBytes(16 * count, count + 10);
    C_CryptAES encryption;
    encryption.setKey(key.data(), 0);
    C_CryptAES decryption;
    decryption.setKey(key.data(), 1);
    for (int direction : {0, 1}) {
      SCOPED_TRACE(direction);
      Bytes byTables = plain;
      Bytes byInstructions = plain;
      Bytes tablesIv = iv;
      Bytes instructionsIv = iv;
      if (direction == 0) {
        aesTableCbcEncrypt(encryption.roundKeys, byTables.data(), count, tablesIv.data());
        aesInstructionsCbcEncrypt(encryption.roundKeys, byInstructions.data(), count, instructionsIv.data());
      } else {
        aesTableCbcDecrypt(decryption.roundKeys, byTables.data(), count, tablesIv.data());
        aesInstructionsCbcDecrypt(decryption.roundKeys, byInstructions.data(), count, instructionsIv.data());
      }
      EXPECT_EQ(byTables, byInstructions);
      EXPECT_EQ(tablesIv, instructionsIv);
      // The vector ends as the last cipher block.
      const Bytes& cipher = direction == 0 ? byTables : plain;
      if (count > 0) {
        EXPECT_EQ(tablesIv, Bytes(cipher.end() - 16, cipher.end()));
      }
    }
  }
}

}  // namespace
}  // namespace zelkit::detail
