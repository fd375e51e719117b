#include <memory>

#include <gtest/gtest.h>

#include "security/cipher/aes.h"
#include "security/cipher/crypt.h"
#include "security/cipher/des.h"

namespace zelkit::detail {
namespace {

TEST(CreateCrypt, MakesUnkeyedAesAndDesAndNothingElse) {
  EXPECT_EQ(createCrypt(2), nullptr);
  EXPECT_EQ(createCrypt(-1), nullptr);

  std::unique_ptr<C_Cryptlfc> aes(createCrypt(0));
  auto* asAes = dynamic_cast<C_CryptAES*>(aes.get());
  ASSERT_NE(asAes, nullptr);
  for (uint32_t word : asAes->roundKeys) EXPECT_EQ(word, 0u);

  std::unique_ptr<C_Cryptlfc> des(createCrypt(1));
  auto* asDes = dynamic_cast<C_CryptDES*>(des.get());
  ASSERT_NE(asDes, nullptr);
  for (uint32_t word : asDes->desSubkeys) EXPECT_EQ(word, 0u);
}

}  // namespace
}  // namespace zelkit::detail
