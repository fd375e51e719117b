#include "security/rsa/bignum.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "security/key_fixtures.h"

namespace zelkit::detail {
namespace {

BigNum fromHex(const std::string& hex) {
  const std::vector<uint8_t> bytes = test::fromHex(hex.size() % 2 == 0 ? hex : "0" + hex);
  BigNum value;
  EXPECT_EQ(bigNumFromBytes(&value, bytes.data(), static_cast<int32_t>(bytes.size()), true), 0);
  return value;
}

std::string toHex(const BigNum& value) {
  std::vector<uint8_t> bytes(static_cast<size_t>((value.bits + 7) / 8));
  bigNumToBytes(bytes.data(), &value, static_cast<int32_t>(bytes.size()), true);
  const std::string hex = test::toHex(bytes.data(), bytes.size());
  const size_t first = hex.find_first_not_of('0');
  return first == std::string::npos ? "0" : hex.substr(first);
}

// Random operands of many sizes (and divisors that make the quotient
// estimate too large) with Python's results: a b m a*b a%m a-b pow(a,b,m).
const char* kOracle = R"(python3 -c '
import random
random.seed(8)
cases = [(2**128 - 1, 3, 2**96 + 1), (0x7fffffff80000000 << 64, 5, (0x80000000 << 64) + 1),
         (2**4224 - 1, 2**4000 + 7, 2**4096 - 159), (12345, 0, 1 << 70 | 1), (5, 7, 4), (1 << 300, 3, 1 << 200)]
for bits in (2, 31, 32, 33, 64, 100, 512, 1024, 2047, 2048, 4096):
    for _ in range(4):
        m = random.getrandbits(bits) | 1 << (bits - 1)
        a = random.getrandbits(min(2 * bits + random.randrange(3), 4224))
        b = random.getrandbits(bits)
        if random.randrange(2): m |= 1
        cases.append((a, b, m))
for a, b, m in cases:
    big, small = max(a, b), min(a, b)
    print(*(format(x, "x") for x in (a, b, m, a * b, a % m, big - small, pow(a, b % 4096, m))))
')";

TEST(BigNum, ArithmeticMatchesPython) {
  ZELKIT_REQUIRE_TOOL("python3");
  std::istringstream lines(test::runText(kOracle));
  std::string a, b, m, product, remainder, difference, power;
  int cases = 0;
  while (lines >> a >> b >> m >> product >> remainder >> difference >> power) {
    ++cases;
    BigNum x = fromHex(a);
    BigNum y = fromHex(b);
    const BigNum modulus = fromHex(m);
    BigNum out;
    const std::string where = "a=" + a.substr(0, 20) + " m=" + m.substr(0, 20);
    if (x.bits + y.bits <= 32 * static_cast<int>(kBigNumCapacity)) {
      ASSERT_EQ(bigNumMultiply(&x, &y, &out), 0) << where;
      EXPECT_EQ(toHex(out), product) << where;
    }
    ASSERT_EQ(bigNumMod(&x, &modulus, &out), 0);
    EXPECT_EQ(toHex(out), remainder) << where;

    const bool aLarger = bigNumCompare(&x, &y) >= 0;
    EXPECT_EQ(bigNumSubtract(aLarger ? &x : &y, aLarger ? &y : &x, &out), 0u);
    EXPECT_EQ(toHex(out), difference) << where;

    BigNum exponent;
    const std::vector<uint8_t> low = {static_cast<uint8_t>(y.word[0] >> 8 & 0x0F), static_cast<uint8_t>(y.word[0])};
    bigNumFromBytes(&exponent, low.data(), 2, true);
    if (modulus.bits <= 32 * static_cast<int>(kBigNumLoadWords)) {
      ASSERT_EQ(bigNumModExp(&x, &exponent, &modulus, &out), 0);
      EXPECT_EQ(toHex(out), power) << where << " e=" << toHex(exponent);
    }
  }
  EXPECT_GT(cases, 40);
}

TEST(BigNum, LoadingAndStoringBytes) {
  // 530 bytes whose first two are zero load the other 528.
  std::vector<uint8_t> bytes(530, 0xAB);
  bytes[0] = bytes[1] = 0;
  BigNum value;
  EXPECT_EQ(bigNumFromBytes(&value, bytes.data(), 530, true), 0);
  EXPECT_EQ(value.bits, 528 * 8);
  bytes[0] = 1;
  EXPECT_EQ(bigNumFromBytes(&value, bytes.data(), 530, true), -1);
  EXPECT_EQ(value.bits, 0);
  EXPECT_EQ(value.word[131], 0u);

  bigNumSetWord(&value, 1);
  uint8_t out[4] = {9, 9, 9, 9};
  EXPECT_EQ(bigNumToBytes(out, &value, 4, true), 4);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0, 0, 0, 1}));
  EXPECT_EQ(bigNumToBytes(out, &value, 4, false), 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 0, 0, 0}));
  EXPECT_EQ(bigNumToBytes(out, &value, 0, true), -1);

  const uint8_t little[] = {0x01, 0x02, 0x03, 0x04, 0x05};
  bigNumFromBytes(&value, little, 5, false);
  EXPECT_EQ(toHex(value), "504030201");
}

TEST(BigNum, ExponentiationEdges) {
  const BigNum modulus = fromHex("f123456789abcdef1");
  const BigNum base = fromHex("123456789abcdef0123456789");
  BigNum zero;
  bigNumSetZero(&zero);
  BigNum out;
  EXPECT_EQ(bigNumModExp(&base, &zero, &modulus, &out), 0);
  EXPECT_EQ(toHex(out), "1");
  EXPECT_EQ(bigNumModExp(&base, &base, &zero, &out), -2);
  EXPECT_EQ(bigNumMod(&base, &zero, &out), -2);
}

TEST(BigNum, Overflow) {
  std::vector<uint8_t> bytes(kBigNumMaxBytes, 0xFF);
  BigNum big;
  bigNumFromBytes(&big, bytes.data(), kBigNumMaxBytes, true);
  BigNum out;
  EXPECT_EQ(bigNumMultiply(&big, &big, &out), 0);
  EXPECT_EQ(bigNumMultiply(&out, &big, &out), -1);
  EXPECT_EQ(bigNumAdd(&out, &out, &out), -1);
  EXPECT_EQ(bigNumShiftLeft(&out, &big, 32 * kBigNumLoadWords), 0);
  EXPECT_EQ(bigNumShiftLeft(&out, &big, 32 * kBigNumLoadWords + 1), -1);

  // a - b with b longer than a borrows.
  const BigNum small = fromHex("5");
  EXPECT_EQ(bigNumSubtract(&small, &big, &out), 1u);
}

TEST(BigNum, ModularInverse) {
  // 2^255 - 19, a prime.
  const BigNum modulus = fromHex("7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
  for (const char* hex : {"2", "3", "10001", "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffec",
                          "17fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffee"}) {
    const BigNum a = fromHex(hex);
    BigNum inverse;
    ASSERT_EQ(bigNumModInverse(&a, &modulus, &inverse), 0) << hex;
    BigNum product;
    bigNumMultiply(&a, &inverse, &product);
    bigNumMod(&product, &modulus, &product);
    EXPECT_EQ(toHex(product), "1") << hex;
  }
  const BigNum shared = fromHex("15");
  const BigNum multipleOfThree = fromHex("f");
  BigNum inverse;
  EXPECT_EQ(bigNumModInverse(&multipleOfThree, &shared, &inverse), -1);
  EXPECT_EQ(bigNumModInverse(&shared, &shared, &inverse), -1);
}

}  // namespace
}  // namespace zelkit::detail
