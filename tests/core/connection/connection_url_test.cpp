#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/connection/connection.h"
#include "core/wire/conversions.h"
#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "zelkit/client.h"

namespace {

using zelkit::detail::Connection;
using zelkit::detail::ConnectionState;
using zelkit::detail::core;

struct UrlCase {
  const char* url;
  const char* user;
  const char* password;
  const char* host;
  int family;             // 0: a name to resolve
  const char* address;    // text of the parsed address, when there is one
  int port;
  bool tls;
  bool httpScheme;
};

void PrintTo(const UrlCase& row, std::ostream* out) { *out << row.url; }

class UrlTable : public testing::TestWithParam<UrlCase> {};

// The parse is tried on a connection to the system-log address, which never
// connects anywhere.
TEST_P(UrlTable, Parses) {
  const UrlCase& row = GetParam();
  core().ensureInitialized();
  Connection* connection = core().getConnection("127.1.1.1");
  ASSERT_EQ(connection->parseUrl(row.url), 0);
  EXPECT_STREQ(connection->user, row.user);
  EXPECT_STREQ(connection->password, row.password);
  EXPECT_STREQ(connection->host, row.host);
  EXPECT_EQ(connection->address.sin6_family, row.family);
  if (row.address != nullptr) {
    char text[64];
    zelkit::detail::addressToText(reinterpret_cast<sockaddr*>(&connection->address), text, sizeof text);
    EXPECT_STREQ(text, row.address);
  }
  EXPECT_EQ(connection->port(), row.port);
  EXPECT_EQ(connection->tls, row.tls);
  EXPECT_EQ(connection->httpScheme, row.httpScheme);
}

const std::string longUser(25, 'u');
const std::string longPassword(50, 'p');
const std::string longUrl = "zelp://" + longUser + ":" + longPassword + "@10.1.2.3";

INSTANTIATE_TEST_SUITE_P(
    Table, UrlTable,
    testing::Values(UrlCase{"zelp://cam", "live", "", "cam", 0, nullptr, 1756, false, false},
                    UrlCase{"http://u:p@10.0.0.5:8080/x", "u", "p", "10.0.0.5", AF_INET, "10.0.0.5", 8080, false, true},
                    UrlCase{"https://[fe80::1]", "live", "", "fe80::1", AF_INET6, "[fe80::1]:443", 443, true, true},
                    UrlCase{"https://[::1]:8443/x", "live", "", "::1", AF_INET6, "[::1]:8443", 8443, true, true},
                    UrlCase{"10.1.2.3", "live", "", "10.1.2.3", AF_INET, "10.1.2.3", 1756, false, false},
                    UrlCase{longUrl.c_str(), "uuuuuuuuuuuuuuuuuuu", "ppppppppppppppppppppppppppppppppppppppppppp",
                            "10.1.2.3", AF_INET, "10.1.2.3", 1756, false, false},
                    UrlCase{"zelp://admin@cam:99", "admin", "", "cam", 0, nullptr, 99, false, false},
                    // A schemeless host that merely begins like a scheme gets no TLS and no tunnel.
                    UrlCase{"https-gw:8080", "live", "", "https-gw", 0, nullptr, 8080, false, false},
                    UrlCase{"HTTP://cam", "live", "", "HTTP", 0, nullptr, 1756, false, false}));

TEST(ConnectionUrl, BadIpv6LiteralFailsAtOnce) {
  core().ensureInitialized();
  enginetest::Recorder recorder;
  zelkit::ZelClient client("zelp://[1:2:3:4:5:6:7:8:9]", 0, 0);
  client.sendRequest(1000, 0x0A370C31, enginetest::Recorder::callback, &recorder);
  ASSERT_EQ(recorder.count(), 1u);  // delivered inside the call
  EXPECT_EQ(recorder.deliveries()[0].errorCode, zelkit::InvalidAddress);
}

TEST(ConnectionUrl, ClientsOfOneUrlShareOneConnection) {
  const std::string url = "zelp://127.0.0.1:" + std::to_string(enginetest::closedPort());
  zelkit::ZelClient first(url.c_str(), 1, 1);
  {
    zelkit::ZelClient second(url.c_str(), 2, 2);
    EXPECT_EQ(Connection::getStatistics(0, &first), 2);
    zelkit::ZelClient copy(second, 3, 3);
    EXPECT_EQ(Connection::getStatistics(0, &second), 3);
  }
  EXPECT_EQ(Connection::getStatistics(0, &first), 1);
}

TEST(ConnectionUrl, Statistics) {
  core().ensureInitialized();
  core().getConnection("127.1.1.1");  // Failed: never counted as active
  EXPECT_EQ(Connection::getStatistics(5, nullptr), -1);
  EXPECT_EQ(Connection::getStatistics(1, nullptr), 0);
  EXPECT_EQ(Connection::getStatistics(0, nullptr), 1);
  enginetest::RawPeer peer;
  zelkit::ZelClient client(peer.url().c_str(), 0, 0);
  EXPECT_EQ(Connection::getStatistics(1, nullptr), 0);  // idle until asked to connect
  client.connect();
  EXPECT_EQ(Connection::getStatistics(1, nullptr), 1);
  EXPECT_EQ(Connection::getStatistics(0, nullptr), 2);
}

}  // namespace
