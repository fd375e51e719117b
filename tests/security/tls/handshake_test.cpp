#include <gtest/gtest.h>

#include <cstring>

#include "security/tls/memory_link.h"
#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_context.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::MemoryPair;

TEST(TlsHandshake, FullHandshakeCarriesDataBothWays) {
  MemoryPair pair;
  ASSERT_EQ(pair.result, 1);
  EXPECT_EQ(pair.client.ctx->cipherSuite, kSuiteAes128CbcSha);
  const char hello[] = "hello server";
  ASSERT_EQ(sslWrite(pair.client.ctx, hello, sizeof hello, 0), static_cast<int>(sizeof hello));
  char buffer[64] = {};
  ASSERT_EQ(sslRead(pair.server.ctx, buffer, sizeof buffer, 0), static_cast<int>(sizeof hello));
  EXPECT_STREQ(buffer, hello);
}

}  // namespace
}  // namespace zelkit::detail
