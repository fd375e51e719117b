#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "security/x509/asn1.h"
#include "security/x509/x509.h"
#include "security/key_fixtures.h"

namespace zelkit::detail {
namespace {

using Bytes = std::vector<uint8_t>;

// DER element with a short or two-byte long length.
Bytes tlv(uint8_t tag, const Bytes& content) {
  Bytes out = {tag};
  if (content.size() < 0x80) {
    out.push_back(static_cast<uint8_t>(content.size()));
  } else {
    out.insert(out.end(), {0x82, static_cast<uint8_t>(content.size() >> 8), static_cast<uint8_t>(content.size())});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

const Bytes kCommonNameOid = {0x06, 0x03, 0x55, 0x04, 0x03};

std::vector<uint16_t> indexOf(const Bytes& der, int32_t capacity = 512) {
  std::vector<uint16_t> index(static_cast<size_t>(capacity));
  const int32_t count = asn1IndexTlv(der.data(), static_cast<int32_t>(der.size()), index.data(), capacity);
  index.resize(static_cast<size_t>(count));
  return index;
}

std::string summaryOf(const Bytes& der, int32_t size = 512) {
  const std::vector<uint16_t> index = indexOf(der, 128);
  std::string out(static_cast<size_t>(size), '\x7f');
  asn1CertificateSummary(out.data(), size, der.data(), index.data(), static_cast<int32_t>(index.size()));
  return out.substr(0, out.find('\0'));
}

TEST(Asn1Header, Forms) {
  struct Case {
    Bytes bytes;
    uint32_t remaining;
    bool valid;
    uint32_t tag, length, headerSize;
  };
  const Case cases[] = {
      {{0x30, 0x82, 0x01, 0x22}, 4, true, 0x30, 290, 4},
      {{0x02, 0x01, 0x05}, 3, true, 0x02, 1, 2},
      {{0x1F, 0x2A, 0x01, 0x00}, 4, true, 42, 1, 3},
      {{0x30, 0x80}, 2, true, 0x30, 0, 2},
      {{0x30, 0x83, 0x01, 0x02, 0x03}, 5, false, 0, 0, 0},
      {{0x1F, 0xAA, 0x01, 0x01}, 4, false, 0, 0, 0},
      // Never past the bytes that remain.
      {{0x30, 0x82, 0x01}, 3, false, 0, 0, 0},
      {{0x1F, 0x2A}, 2, false, 0, 0, 0},
      {{0x30}, 1, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    // An exact-size heap copy lets the sanitizer see any read beyond it.
    const Bytes copy(c.bytes.begin(), c.bytes.begin() + c.remaining);
    const Asn1Header header = asn1ParseHeader(copy.data(), c.remaining);
    const std::string where = test::toHex(c.bytes.data(), c.bytes.size());
    ASSERT_EQ(header.value != nullptr, c.valid) << where;
    if (!c.valid) continue;
    EXPECT_EQ(header.tag, c.tag) << where;
    EXPECT_EQ(header.length, c.length) << where;
    EXPECT_EQ(header.headerSize, c.headerSize) << where;
    EXPECT_EQ(header.value, copy.data() + c.headerSize) << where;
  }
}

class Certificates : public ::testing::TestWithParam<const char*> {};

// Every element offset that openssl asn1parse shows, in order, with a
// closing mark after the content of each constructed element.
TEST_P(Certificates, IndexOffsetsMatchAsn1parse) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const std::string file = test::dataPath(GetParam());
  const Bytes der = test::readFile(file);
  std::istringstream lines(test::runText("openssl asn1parse -inform DER -i -in " + file));
  std::vector<uint16_t> expected;
  std::string line;
  while (std::getline(lines, line)) expected.push_back(static_cast<uint16_t>(std::stoi(line)));

  const std::vector<uint16_t> index = indexOf(der);
  std::vector<uint16_t> offsets;
  for (uint16_t entry : index) {
    if (entry != kAsn1IndexEnd) offsets.push_back(entry);
  }
  EXPECT_EQ(offsets, expected);
  ASSERT_FALSE(index.empty());
  EXPECT_EQ(index.back(), kAsn1IndexEnd);
  int open = 0;
  for (uint16_t entry : index) open += entry == kAsn1IndexEnd ? -1 : 0;
  EXPECT_LT(open, 0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Certificates, ::testing::Values("leaf.der", "ec.der"));

TEST(DerIndex, SmallCapacities) {
  const Bytes der = test::readFile(test::dataPath("leaf.der"));
  EXPECT_EQ(indexOf(der, 4).size(), 2u);
  // Closers too respect the capacity: nested SEQUENCEs end in a run of them.
  const Bytes nested = tlv(0x30, tlv(0x30, tlv(0x30, tlv(0x30, {0x02, 0x01, 0x07}))));
  for (int32_t capacity = 0; capacity < 12; ++capacity) {
    std::vector<uint16_t> index(static_cast<size_t>(capacity) + 4, 0x1234);
    const int32_t count = asn1IndexTlv(nested.data(), static_cast<int32_t>(nested.size()), index.data(), capacity);
    EXPECT_LE(count, capacity);
    for (size_t i = static_cast<size_t>(capacity); i < index.size(); ++i) EXPECT_EQ(index[i], 0x1234) << capacity;
  }
  EXPECT_EQ(indexOf(nested).size(), 9u);
}

TEST(DerIndex, MalformedDocumentsStopEarly) {
  Bytes deep = {0x05, 0x00};
  for (int i = 0; i < 40; ++i) deep = tlv(0x30, deep);
  EXPECT_EQ(indexOf(deep).size(), static_cast<size_t>(kAsn1MaxDepth));

  // An element running past the one that holds it, and one past the document.
  const Bytes overrun = {0x30, 0x04, 0x02, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  EXPECT_EQ(indexOf(overrun), (std::vector<uint16_t>{0}));
  const Bytes truncated = {0x30, 0x08, 0x02, 0x01, 0x01, 0x02, 0x01};
  EXPECT_EQ(indexOf(truncated), std::vector<uint16_t>{});
}

TEST(CertificateSummary, RealCertificate) {
  const Bytes der = test::readFile(test::dataPath("leaf.der"));
  EXPECT_EQ(summaryOf(der),
            "Issued to: camera.example\nIssued by: Zelkit Test CA\nValid from: 20-05-13 to 19-05-23\n");
  EXPECT_EQ(summaryOf(der, 20), "Issued to: camera.e");
}

TEST(CertificateSummary, HandMadeCertificates) {
  const auto name = [](const std::string& cn) { return tlv(0x31, tlv(0x30, join({kCommonNameOid, tlv(0x0C, text(cn))}))); };
  const Bytes validity = tlv(0x30, join({tlv(0x17, text("130520101010Z")), tlv(0x17, text("230519101010Z"))}));
  const std::string longName(100, 'x');
  struct Case {
    const char* what;
    Bytes der;
    std::string summary;
  };
  const Case cases[] = {
      {"no common names", tlv(0x30, validity), "Issued to: \nIssued by: \nValid from: 20-05-13 to 19-05-23\n"},
      {"long name cut to 79", tlv(0x30, join({name("ca"), name(longName)})),
       "Issued to: " + longName.substr(0, 79) + "\nIssued by: ca\nValid from:  to \n"},
      {"third name ignored", tlv(0x30, join({name("a"), name("b"), name("c")})),
       "Issued to: b\nIssued by: a\nValid from:  to \n"},
      {"name without value", tlv(0x30, join({tlv(0x30, kCommonNameOid), name("b")})),
       "Issued to: \nIssued by: b\nValid from:  to \n"},
      {"short time", tlv(0x30, join({tlv(0x17, text("1305")), validity})),
       "Issued to: \nIssued by: \nValid from: 20-05-13 to 19-05-23\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(summaryOf(c.der), c.summary) << c.what;

  // A common name whose value is the last index entry.
  const Bytes der = tlv(0x30, tlv(0x30, kCommonNameOid));
  std::vector<uint16_t> index = indexOf(der);
  index.resize(3);  // 0, 2, the OID
  char out[128];
  asn1CertificateSummary(out, sizeof(out), der.data(), index.data(), 3);
  EXPECT_STREQ(out, "Issued to: \nIssued by: \nValid from:  to \n");
}

struct Visit {
  std::string path;
  Bytes value;
  uint32_t tag;
};

std::vector<Visit> walk(const Bytes& der, int32_t* result = nullptr) {
  std::vector<Visit> visits;
  const int32_t r = derWalk(
      der.data(), static_cast<uint32_t>(der.size()),
      [](const char* path, const uint8_t* value, uint32_t length, uint32_t tag, void* user) {
        static_cast<std::vector<Visit>*>(user)->push_back({path, Bytes(value, value + length), tag});
      },
      &visits);
  if (result != nullptr) *result = r;
  return visits;
}

TEST(DerWalk, PathsOfAPrivateKey) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const Bytes der = *test::runTool("openssl rsa -traditional -in " + test::dataPath("rsa512.pem") + " -outform DER 2>/dev/null");
  int32_t result = -1;
  const std::vector<Visit> visits = walk(der, &result);
  EXPECT_EQ(result, 0);
  ASSERT_EQ(visits.size(), 9u);
  std::string expected = "<";
  for (const Visit& v : visits) {
    expected.insert(0, "I/");
    EXPECT_EQ(v.path, expected);
    EXPECT_EQ(v.tag, 2u);
  }
  EXPECT_EQ(visits[1].value.size(), 65u);  // the modulus with its sign byte
}

TEST(DerWalk, PathsOfACertificateKey) {
  const std::vector<Visit> visits = walk(test::readFile(test::dataPath("leaf.der")));
  int moduli = 0;
  int exponents = 0;
  for (const Visit& v : visits) {
    if (v.path.find("/07:N/I/<") != std::string::npos) {
      ++moduli;
      EXPECT_EQ(v.value.size(), 257u);
    }
    if (v.path.find("/07:N/I/I/<") != std::string::npos) {
      ++exponents;
      EXPECT_EQ(v.value, (Bytes{1, 0, 1}));
    }
  }
  EXPECT_EQ(moduli, 1);
  EXPECT_EQ(exponents, 1);
  // An elliptic-curve key's BIT STRING is not entered.
  for (const Visit& v : walk(test::readFile(test::dataPath("ec.der")))) EXPECT_EQ(v.path.find("07:"), std::string::npos);
}

TEST(DerWalk, PathKeepsTheNewestCharacters) {
  Bytes nulls;
  for (int i = 0; i < 15; ++i) nulls.insert(nulls.end(), {0x05, 0x00});
  const std::vector<Visit> visits = walk(tlv(0x30, nulls));
  ASSERT_EQ(visits.size(), 15u);
  EXPECT_EQ(visits[10].path, "N/N/N/N/N/N/N/N/N/N/N/<");
  EXPECT_EQ(visits[11].path, "/N/N/N/N/N/N/N/N/N/N/N/<");
  EXPECT_EQ(visits[14].path, "/N/N/N/N/N/N/N/N/N/N/N/<");

  int32_t result = 0;
  walk(join({tlv(0x30, nulls), {0x05}}), &result);
  EXPECT_EQ(result, -1);
  Bytes deep = {0x02, 0x01, 0x07};
  for (int i = 0; i < 1000; ++i) deep = tlv(0x30, deep);
  EXPECT_TRUE(walk(deep).empty());
}

// A serial number and a SubjectPublicKeyInfo with the given modulus and
// exponent INTEGERs, as in a certificate's body.
Bytes publicKeyInfo(const Bytes& integers) {
  const Bytes algorithm =
      tlv(0x30, join({{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}, {0x05, 0x00}}));
  const Bytes info = tlv(0x30, join({algorithm, tlv(0x03, join({{0x00}, tlv(0x30, integers)}))}));
  return tlv(0x30, join({tlv(0x02, {0x01}), info}));
}

TEST(X509ReadPublicKey, RealCertificate) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const Bytes der = test::readFile(test::dataPath("leaf.der"));
  KeyRecord key;
  ASSERT_EQ(x509ReadPublicKey(der.data(), static_cast<uint32_t>(der.size()), &key), 0);
  EXPECT_EQ(key.fieldsFound, 2u);
  const std::string modulus =
      test::runText("openssl rsa -in " + test::dataPath("rsa2048.pem") + " -noout -modulus 2>/dev/null");
  uint8_t bytes[256];
  bigNumToBytes(bytes, &key.first, sizeof(bytes), true);
  std::string hex = test::toHex(bytes, sizeof(bytes));
  for (char& c : hex) c = static_cast<char>(toupper(c));
  EXPECT_EQ("Modulus=" + hex + "\n", modulus);
  EXPECT_EQ(key.second.bits, 17);

  const Bytes ec = test::readFile(test::dataPath("ec.der"));
  EXPECT_EQ(x509ReadPublicKey(ec.data(), static_cast<uint32_t>(ec.size()), &key), -1);
  EXPECT_EQ(key.fieldsFound, 0u);
}

TEST(X509ReadPublicKey, RefusesUnusableKeys) {
  const Bytes modulus = tlv(0x02, join({{0x00}, Bytes(64, 0xC3)}));
  struct Case {
    const char* what;
    Bytes integers;
    int result;
  };
  const Case cases[] = {
      {"usable", join({modulus, tlv(0x02, {0x03})}), 0},
      {"exponent missing", modulus, -1},
      {"exponent 1", join({modulus, tlv(0x02, {0x01})}), -1},
      {"exponent 2", join({modulus, tlv(0x02, {0x02})}), -1},
      {"modulus of 4096 bits", join({tlv(0x02, join({{0x00}, Bytes(512, 0xC3)})), tlv(0x02, {0x01, 0x00, 0x01})}), 0},
      {"modulus of 4104 bits", join({tlv(0x02, join({{0x00}, Bytes(513, 0xC3)})), tlv(0x02, {0x01, 0x00, 0x01})}), -1},
      {"modulus missing", {}, -1},
  };
  for (const Case& c : cases) {
    const Bytes der = publicKeyInfo(c.integers);
    KeyRecord key;
    EXPECT_EQ(x509ReadPublicKey(der.data(), static_cast<uint32_t>(der.size()), &key), c.result) << c.what;
  }
}

// Every parser over every prefix of a real certificate and over random byte
// changes, in exact-size heap copies: the sanitizers catch any stray read.
TEST(DerParsers, TruncatedAndDamagedCertificates) {
  const Bytes der = test::readFile(test::dataPath("leaf.der"));
  const auto parseAll = [](const Bytes& input) {
    const auto* data = input.empty() ? nullptr : input.data();
    auto* copy = new uint8_t[input.size() + 1];
    std::memcpy(copy, data == nullptr ? copy : data, input.size());
    const auto size = static_cast<uint32_t>(input.size());
    uint16_t index[128];
    const int32_t count = asn1IndexTlv(copy, static_cast<int32_t>(size), index, 128);
    char summary[512];
    asn1CertificateSummary(summary, sizeof(summary), copy, index, count);
    derWalk(copy, size, nullptr, nullptr);
    KeyRecord key;
    x509ReadPublicKey(copy, size, &key);
    delete[] copy;
  };
  for (size_t length = 0; length <= der.size(); ++length) parseAll(Bytes(der.begin(), der.begin() + length));
  std::mt19937 random(8);
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = der;
    for (int flips = 1 + round % 3; flips > 0; --flips) damaged[random() % damaged.size()] ^= 1 << (random() % 8);
    parseAll(damaged);
  }
}

}  // namespace
}  // namespace zelkit::detail
