#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/engine/engine_test_util.h"
#include "security/key_fixtures.h"
#include "security/tls_connection/certificate_checking.h"
#include "security/tls_connection/tls_device_util.h"
#include "support/certificate_checking_reset.h"
#include "support/log_lines.h"
#include "zelkit/client.h"

namespace {

using namespace tlstest;
using enginetest::Recorder;
using zelkit::ZelClient;
namespace Notification = zelkit::detail::CertificateNotification;

std::vector<std::string> fileLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

enum class Cached { Nothing, ThisCertificate, OtherCertificate };

struct ApprovalCase {
  const char* name;
  ZelClient::CertificateCheckingMode mode;
  bool raw;
  Cached cached;   // in cert.cache before the process looks
  uint32_t event;  // 0: the connection goes on without asking
};

void PrintTo(const ApprovalCase& row, std::ostream* out) { *out << row.name; }

class Approval : public testing::TestWithParam<ApprovalCase> {};

TEST_P(Approval, AsksForUntrustedCertificatesOnly) {
  ZELKIT_REQUIRE_TOOL("openssl");
  const ApprovalCase& row = GetParam();
  const zeltest::TlsCredentials credentials;
  QuietServer server(credentials);
  const std::string entry = "127.0.0.1 " + std::to_string(server.port()) + " md5 " + credentials.md5Base64;

  const auto dataHome = zeltest::temporaryDirectory("cert-data");
  ASSERT_EQ(::setenv("XDG_DATA_HOME", dataHome.c_str(), 1), 0);
  const auto cacheFile = dataHome / "Tarvo/Kelmo/cert.cache";
  std::vector<std::string> before = {"# approved servers"};
  if (row.cached == Cached::ThisCertificate) before.push_back(entry);
  if (row.cached == Cached::OtherCertificate)
    before.push_back("127.0.0.1 " + std::to_string(server.port()) + " md5 AAAAAAAAAAAAAAAAAAAAAA==");
  std::filesystem::create_directories(cacheFile.parent_path());
  {
    std::ofstream out(cacheFile);
    for (const std::string& line : before) out << line << '\n';
  }

  Recorder events;
  const zeltest::CertificateCheckingReset reset;
  ASSERT_EQ(ZelClient::setCertificateCheckingMode(row.mode, row.raw, Recorder::callback, &events), 0);
  const std::string url = "https://u:pw@127.0.0.1:" + std::to_string(server.port());
  ZelClient client(url.c_str(), 0, 0);
  client.connect();

  if (row.event == 0) {
    EXPECT_TRUE(server.received("GET /zel_tunnel HTTP/1.0", 5s));
    EXPECT_EQ(events.count(), 0u);
    EXPECT_EQ(fileLines(cacheFile), before);
    return;
  }
  const auto asked = events.waitFor(row.event, 5s);
  ASSERT_TRUE(asked) << "events: " << events.count();
  EXPECT_EQ(asked->sourceUrl, url);
  if (row.raw) {
    EXPECT_EQ(asked->payload, credentials.certificateDer);
  } else {
    ASSERT_EQ(asked->payload.size(), 512u);
    const std::string summary(reinterpret_cast<const char*>(asked->payload.data()));
    EXPECT_EQ(summary.rfind("Issued to: zelkit.test\nIssued by: zelkit.test\nValid from: ", 0), 0u) << summary;
  }
  // Nothing leaves before the approval, then the tunnel request goes first.
  EXPECT_FALSE(server.received("GET", 500ms));
  client.approved();
  EXPECT_TRUE(server.received("GET /zel_tunnel HTTP/1.0", 5s));
  EXPECT_EQ(events.count(), 1u);

  std::vector<std::string> after = before;
  if (row.mode == ZelClient::CertificateCheckCached) {
    if (row.cached == Cached::OtherCertificate) after[1][0] = '#';
    after.push_back(entry);
  }
  EXPECT_EQ(fileLines(cacheFile), after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Approval,
    testing::Values(
        ApprovalCase{"NoneNeverAsks", ZelClient::CertificateCheckNone, false, Cached::Nothing, 0},
        ApprovalCase{"CachedUnknownText", ZelClient::CertificateCheckCached, false, Cached::Nothing,
                     Notification::UnknownText},
        ApprovalCase{"CachedUnknownRaw", ZelClient::CertificateCheckCached, true, Cached::Nothing,
                     Notification::UnknownRaw},
        ApprovalCase{"CachedKnownFromAnEarlierRun", ZelClient::CertificateCheckCached, false, Cached::ThisCertificate,
                     0},
        ApprovalCase{"CachedChangedText", ZelClient::CertificateCheckCached, false, Cached::OtherCertificate,
                     Notification::ChangedText},
        ApprovalCase{"CachedChangedRaw", ZelClient::CertificateCheckCached, true, Cached::OtherCertificate,
                     Notification::ChangedRaw},
        ApprovalCase{"AlwaysAsksWhateverIsCached", ZelClient::CertificateCheckAlways, false, Cached::ThisCertificate,
                     Notification::UnknownText}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
