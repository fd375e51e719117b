#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "security/cert_cache/cache_line.h"
#include "security/cert_cache/certificate_cache.h"
#include "support/log_lines.h"

namespace zelkit::detail {
namespace {

namespace fs = std::filesystem;
using Digest = std::array<uint8_t, CERTIFICATE_DIGEST_SIZE>;

const Digest kFirst = {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0, 0x0f, 0xed, 0xcb, 0xa9, 0x87, 0x65, 0x43, 0x21};
const Digest kSecond = {0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
// base64 of kFirst and kSecond
const std::string kFirstText = "EjRWeJq83vAP7cuph2VDIQ==";
const std::string kSecondText = "/+7dzLuqmYh3ZlVEMyIRAA==";

std::vector<std::string> lines(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::string> found;
  std::string line;
  while (std::getline(in, line)) found.push_back(line);
  return found;
}

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The digest an entry holds, or nothing.
std::optional<Digest> digestOf(const CertificateCache& cache, const std::string& host, uint16_t port) {
  const CertificateCacheEntry* entry = cache.find(host.c_str(), port);
  if (entry == nullptr) return std::nullopt;
  Digest digest;
  std::copy(std::begin(entry->digest), std::end(entry->digest), digest.begin());
  return digest;
}

class CertificateCacheFile : public ::testing::Test {
 protected:
  const fs::path directory = zeltest::temporaryDirectory("cert-cache");
  const fs::path file = directory / "cert.cache";
};

// Lines are appended; a changed entry's old line is disabled with '#' over
// its first byte, also past a comment; a later run loads the newest only.
TEST_F(CertificateCacheFile, ReapprovalMarksTheOldLineAndAppends) {
  write(file, "# servers approved by hand\n");
  {
    CertificateCache cache(file.c_str());
    ASSERT_TRUE(cache.hasFile());
    cache.store("cam.example", 443, "md5", kFirst.data());
    cache.store("cam.example", 443, "md5", kFirst.data());  // the same again adds nothing
    EXPECT_EQ(lines(file), (std::vector<std::string>{"# servers approved by hand", "cam.example 443 md5 " + kFirstText}));
    cache.store("cam.example", 443, "md5", kSecond.data());
    EXPECT_EQ(digestOf(cache, "cam.example", 443), kSecond);
  }
  const std::vector<std::string> expected = {"# servers approved by hand", "#am.example 443 md5 " + kFirstText,
                                             "cam.example 443 md5 " + kSecondText};
  EXPECT_EQ(lines(file), expected);

  CertificateCache reloaded(file.c_str());
  EXPECT_EQ(digestOf(reloaded, "cam.example", 443), kSecond);
  EXPECT_FALSE(digestOf(reloaded, "cam.example", 444));
  EXPECT_FALSE(digestOf(reloaded, "am.example", 443));
  // A change after reloading marks the line the entry was read from.
  reloaded.store("cam.example", 443, "md5", kFirst.data());
  EXPECT_EQ(lines(file)[2][0], '#');
  EXPECT_EQ(lines(file).back(), "cam.example 443 md5 " + kFirstText);
}

// Hosts are kept and compared whole up to 253 characters, so an approval
// is found again and storing it again does not grow the file.
TEST_F(CertificateCacheFile, LongHostNamesAreKeptWhole) {
  const std::string seventy(70, 'h');
  const std::string longest = std::string(252, 'a') + "b";
  {
    CertificateCache cache(file.c_str());
    cache.store(seventy.c_str(), 8443, "md5", kFirst.data());
    cache.store(longest.c_str(), 8443, "md5", kSecond.data());
  }
  const std::string written = contents(file);
  CertificateCache reloaded(file.c_str());
  EXPECT_EQ(digestOf(reloaded, seventy, 8443), kFirst);
  EXPECT_EQ(digestOf(reloaded, longest, 8443), kSecond);
  // Names that differ only past the 63rd character are different hosts.
  EXPECT_FALSE(digestOf(reloaded, std::string(69, 'h') + "x", 8443));
  reloaded.store(seventy.c_str(), 8443, "md5", kFirst.data());
  EXPECT_EQ(contents(file), written);
}

// A hand-edited file: a last line without its line feed, a line longer than
// the reader's buffer, malformed lines.
TEST_F(CertificateCacheFile, EditedFilesAreReadSafely) {
  const std::string overlong = "long.example 1 md5 " + std::string(3000, 'A');
  write(file, overlong + "\nbad\nspaced  443 md5 x\nlast.example 80 md5 " + kFirstText);
  CertificateCache cache(file.c_str());
  EXPECT_EQ(digestOf(cache, "last.example", 80), kFirst);
  EXPECT_TRUE(digestOf(cache, "long.example", 1));
  EXPECT_TRUE(digestOf(cache, "bad", 0));
  cache.store("new.example", 443, "md5", kSecond.data());
  const std::vector<std::string> now = lines(file);
  ASSERT_GE(now.size(), 2u);
  EXPECT_EQ(now[now.size() - 2], "last.example 80 md5 " + kFirstText);
  EXPECT_EQ(now.back(), "new.example 443 md5 " + kSecondText);
}

TEST(CacheLine, FieldsAreCutAtSingleBlanks) {
  struct Case {
    std::string line;
    std::string host;
    uint16_t port;
    std::string algorithm;
  };
  const Case cases[] = {
      {"host 443 md5 " + kFirstText, "host", 443, "md5"},
      {"host 70000 sha256long " + kFirstText, "host", 70000 & 0xFFFF, "sha256l"},
      {"host", "host", 0, ""},
      {"", "", 0, ""},
      {" 5 x", "", 5, "x"},
      {std::string(300, 'n') + " 1 md5", std::string(253, 'n'), 1, "md5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    CertificateCacheEntry entry;
    parseCacheLine(c.line.data(), static_cast<int>(c.line.size()), entry);
    EXPECT_EQ(entry.host, c.host);
    EXPECT_EQ(entry.port, c.port);
    EXPECT_EQ(entry.algorithm, c.algorithm);
  }
}

// Without a writable file the cache still answers in memory.
TEST(CertificateCacheMemory, WorksWithoutAFile) {
  const fs::path directory = zeltest::temporaryDirectory("cert-cache");
  // As root no permission stops a write; a directory in the file's place does.
  fs::create_directory(directory / "cert.cache");
  const fs::path blocked = directory / "cert.cache";
  for (const char* path : {blocked.c_str(), static_cast<const char*>(nullptr)}) {
    CertificateCache cache(path);
    EXPECT_FALSE(cache.hasFile());
    cache.store("host", 443, "md5", kFirst.data());
    EXPECT_EQ(digestOf(cache, "host", 443), kFirst);
    cache.store("host", 443, "md5", kSecond.data());
    EXPECT_EQ(digestOf(cache, "host", 443), kSecond);
  }
}

TEST(ApplicationFilePath, LiesInTheUsersDataFolder) {
  const fs::path dataHome = zeltest::temporaryDirectory("cert-data");
  ASSERT_EQ(::setenv("XDG_DATA_HOME", dataHome.c_str(), 1), 0);
  char path[1024];
  ASSERT_NE(getApplicationFilePath(2, path, sizeof path, "cert.cache"), nullptr);
  EXPECT_EQ(std::string(path), dataHome.string() + "/Tarvo/Kelmo//cert.cache");
  EXPECT_TRUE(fs::is_directory(dataHome / "Tarvo/Kelmo"));
  EXPECT_EQ(getApplicationFilePath(2, path, 10, "cert.cache"), nullptr);

  // A data folder that cannot be made leaves the cache in memory.
  write(dataHome / "file", "");
  ASSERT_EQ(::setenv("XDG_DATA_HOME", (dataHome / "file").c_str(), 1), 0);
  EXPECT_EQ(getApplicationFilePath(2, path, sizeof path, "cert.cache"), nullptr);
  CertificateCache cache;
  EXPECT_FALSE(cache.hasFile());
}

}  // namespace
}  // namespace zelkit::detail
