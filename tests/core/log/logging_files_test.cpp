#include <gtest/gtest.h>
#include <arpa/inet.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/log/log_file_name.h"
#include "core/log/logging_test_util.h"

namespace {

using namespace loggingtest;
using zelkit::detail::Connection;
using zelkit::detail::core;

struct NameCase {
  const char* name;
  const char* address;  // dotted IPv4, or null for a name or IPv6 text
  const char* host;
  uint16_t port;
  bool serverSide;
  const char* expected;
};

void PrintTo(const NameCase& row, std::ostream* out) { *out << row.name; }

class LogFileName : public testing::TestWithParam<NameCase> {};

TEST_P(LogFileName, FollowsAddressHostAndPort) {
  const NameCase& row = GetParam();
  const uint32_t address = row.address != nullptr ? inet_addr(row.address) : 0;
  EXPECT_EQ(zelkit::detail::logFileName(address, row.host, row.port, row.serverSide), row.expected);
}

const std::string LONG_HOST(70, 'h');
const std::string LONG_HOST_FILE = std::string(63, 'h') + ".log";

INSTANTIATE_TEST_SUITE_P(
    Table, LogFileName,
    testing::Values(NameCase{"ZelPort", "10.1.2.3", "10.1.2.3", 1756, false, "10.1.2.3.log"},
                    NameCase{"OtherPort", "10.1.2.3", "10.1.2.3", 8080, false, "10.1.2.3_8080.log"},
                    NameCase{"HttpPort", "10.1.2.3", "10.1.2.3", 80, false, "10.1.2.3.log"},
                    NameCase{"HttpsPort", "10.1.2.3", "10.1.2.3", 443, false, "10.1.2.3.log"},
                    NameCase{"ServerSideHasNoPort", "10.1.2.3", "10.1.2.3", 8080, true, "10.1.2.3.log"},
                    NameCase{"HostName", nullptr, "cam-01.site.example", 1756, false, "cam_01_site_example.log"},
                    NameCase{"Ipv6Text", nullptr, "fe80::1", 8080, false, "fe80__1_8080.log"},
                    NameCase{"LongHostCut", nullptr, LONG_HOST.c_str(), 1756, false, LONG_HOST_FILE.c_str()}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

// The start-up line: the major number, then the version word whose low
// byte it is, in eight hex digits.
bool isInitLine(const std::string& line) {
  unsigned major = 0, version = 0;
  int end = 0;
  const std::string hex = line.substr(line.rfind(' ') + 1);
  return std::sscanf(line.c_str(), "2024-03-10 12:00:00.123 init os %u %x%n", &major, &version, &end) == 2 &&
         static_cast<size_t>(end) == line.size() && hex.size() == 8 && major == (version & 0xFF);
}

// Connections to the system log's address never connect, so they serve as
// quiet connections with files of their own.
TEST(LogFiles, FilterChoosesConnectionsWhileTheSystemLogIsAlwaysWritten) {
  useFixedClockInUtc();
  const fs::path directory = temporaryDirectory("files");
  core().setLoggingFilter(":8080$");
  core().setLoggingDirectory(directory.c_str());
  Connection* chosen = core().getConnection("zelp://127.1.1.1:8080");
  Connection* missed = core().getConnection("zelp://127.1.1.1:9090");
  core().log(chosen, "fin ", "Connection %04x released", 0x1234);
  core().log(missed, "conn", "Poke");
  core().log(nullptr, "app ", "a line of the system");

  EXPECT_EQ(entries(directory), (std::vector<std::string>{"127.1.1.1.log", "127.1.1.1_8080.log"}));
  EXPECT_FALSE(missed->hasLog());
  EXPECT_EQ(readLines(directory / "127.1.1.1_8080.log"),
            std::vector<std::string>{"2024-03-10 12:00:00.123 fin  Connection 1234 released"});
  const std::vector<std::string> system = readLines(directory / "127.1.1.1.log");
  ASSERT_EQ(system.size(), 2u);
  EXPECT_TRUE(isInitLine(system[0])) << system[0];
  EXPECT_EQ(system[1], "2024-03-10 12:00:00.123 app  a line of the system");
}

TEST(LogFiles, NoDirectoryClosesTheFilesAndReopeningAppends) {
  useFixedClockInUtc();
  const fs::path directory = temporaryDirectory("off");
  core().setLoggingDirectory(directory.c_str());
  Connection* connection = core().getConnection("zelp://127.1.1.1:8080");
  core().log(connection, "conn", "first");
  core().setLoggingDirectory(nullptr);
  EXPECT_FALSE(connection->hasLog());
  core().log(connection, "conn", "while off");
  core().log(nullptr, "app ", "while off");
  core().setLoggingDirectory(directory.c_str());
  core().log(connection, "conn", "again");

  EXPECT_EQ(readLines(directory / "127.1.1.1_8080.log"),
            (std::vector<std::string>{"2024-03-10 12:00:00.123 conn first", "2024-03-10 12:00:00.123 conn again"}));
  const std::vector<std::string> system = readLines(directory / "127.1.1.1.log");
  ASSERT_EQ(system.size(), 2u);  // one start-up line per time logging was switched on
  for (const std::string& line : system) EXPECT_TRUE(isInitLine(line)) << line;
}

// Raw text lines are cut to the length given.
TEST(LogFiles, TextLinesHonourLengthAndLimit) {
  useFixedClockInUtc();
  const fs::path directory = temporaryDirectory("text");
  core().setLoggingDirectory(directory.c_str());
  Connection* connection = core().getConnection("zelp://127.1.1.1:8080");
  connection->logText("send", "GET /zel_tunnel HTTP/1.0", 8, 0);
  connection->logText("send", "GET /zel_tunnel HTTP/1.0", 0, 3);
  EXPECT_EQ(readLines(directory / "127.1.1.1_8080.log"),
            (std::vector<std::string>{"2024-03-10 12:00:00.123 send GET /zel", "2024-03-10 12:00:00.123 send GET"}));
}

TEST(LogFiles, BadFilterIsReportedAndTheOldOneStays) {
  core().ensureInitialized();
  core().setLoggingFilter("^zelp://10\\.");
  // The regular-expression library's error, a runtime error.
  EXPECT_THROW(core().setLoggingFilter("(["), std::runtime_error);
  EXPECT_TRUE(core().logFilterMatches("zelp://10.1.2.3"));
  EXPECT_FALSE(core().logFilterMatches("zelp://192.168.0.1"));
}

}  // namespace
