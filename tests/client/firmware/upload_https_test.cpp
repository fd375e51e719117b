// Uploads inside TLS to a device on Python's ssl module, and the check of
// the certificate it presents.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "client/firmware/firmware_device.h"
#include "client/firmware/upload_test_util.h"
#include "support/certificate_checking_reset.h"
#include "support/external_tool.h"
#include "support/log_lines.h"
#include "support/private_network.h"
#include "support/tls_credentials.h"
#include "zelkit/system.h"

namespace {

using namespace fwtest;
using Mode = zelkit::ZelClient::CertificateCheckingMode;

// What the server saw of an upload that ended with `outcome`: the whole
// file posted and no log line when it was done (the post is returned for
// further checks), nothing posted and the one log line when the
// certificate was not trusted.
std::optional<Post> expectOutcomeSeenBy(FirmwareDevice& server, uint32_t outcome, const FirmwareFile& file,
                                        const std::filesystem::path& logs) {
  if (outcome != kDone) {
    EXPECT_FALSE(server.nextPost(1s));
    EXPECT_EQ(zeltest::logLines(logs, "fwul"),
              std::vector<std::string>{"Firmware upload failed: server certificate not trusted"});
    return std::nullopt;
  }
  auto post = server.nextPost(1s);
  EXPECT_TRUE(post);
  if (post) {
    EXPECT_EQ(post->at("md5"), md5Of(file.path));
  }
  EXPECT_TRUE(zeltest::logLines(logs, "fwul").empty());
  return post;
}

// Where both certificate tables start: fresh data and log directories, and
// device options that serve a certificate of their own.
struct TlsUploadSetup {
  TlsUploadSetup() {
    EXPECT_EQ(::setenv("XDG_DATA_HOME", zeltest::temporaryDirectory("firmware-data").c_str(), 1), 0);
    zelkit::System::setLoggingDirectory(logs.c_str());
    options.certificatePath = credentials.certificatePath;
    options.keyPath = credentials.keyPath;
  }
  const std::filesystem::path logs = zeltest::temporaryDirectory("firmware-logs");
  const zeltest::TlsCredentials credentials;
  DeviceOptions options;
};

struct CheckingCase {
  const char* name;
  Mode mode;
  bool approve;  // the application approves the client connection's certificate
  uint32_t outcome;
};

void PrintTo(const CheckingCase& row, std::ostream* out) { *out << row.name; }

class FirmwareUploadHttps : public testing::TestWithParam<CheckingCase> {};

// The upload trusts what the client's connection trusts: any certificate
// (mode 0), the one approved for host and port (mode 1), the one approved
// on the connection itself (mode 2). An untrusted one gets nothing posted.
TEST_P(FirmwareUploadHttps, PostsInsideTlsWhenTheCertificateIsTrusted) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  ASSERT_TRUE(zelkit::test::toolAvailable("openssl"));
  const CheckingCase& row = GetParam();
  TlsUploadSetup setup;
  const auto& logs = setup.logs;
  DeviceOptions& options = setup.options;
  options.kind = "a";
  FirmwareDevice device(options);
  const FirmwareFile file("fw.bin", 70000);

  zelkit::ZelClient client(device.url("https", "admin:secret@").c_str(), 0, 0);
  zeltest::Approver approver;
  approver.client = &client;
  zelkit::ZelClient::setCertificateCheckingMode(row.mode, false, row.approve ? zeltest::Approver::callback : nullptr, &approver);
  UploadEvents events(client);
  ASSERT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  EXPECT_EQ(events.outcome(), row.outcome);
  EXPECT_EQ(approver.asked, row.mode != zelkit::ZelClient::CertificateCheckNone && row.approve ? 1 : 0);
  const auto post = expectOutcomeSeenBy(device, row.outcome, file, logs);
  if (post) {
    EXPECT_EQ(post->at("head").rfind("POST /service5.htm HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(post->at("auth"), "admin:secret");
    EXPECT_EQ(post->at("form_filename"), file.path.string());
  }
}

const CheckingCase kChecking[] = {
    {"AnyCertificate", zelkit::ZelClient::CertificateCheckNone, false, kDone},
    {"CachedApproval", zelkit::ZelClient::CertificateCheckCached, true, kDone},
    {"NoCachedApproval", zelkit::ZelClient::CertificateCheckCached, false, kFailed},
    {"ApprovedOnTheConnection", zelkit::ZelClient::CertificateCheckAlways, true, kDone},
    {"NotApprovedOnTheConnection", zelkit::ZelClient::CertificateCheckAlways, false, kFailed},
};

INSTANTIATE_TEST_SUITE_P(Checking, FirmwareUploadHttps, testing::ValuesIn(kChecking),
                         [](const testing::TestParamInfo<CheckingCase>& info) { return info.param.name; });

struct ZelPortCase {
  const char* name;
  Mode mode;
  bool sameCertificate;  // port 80 presents the certificate of port 1756
  uint32_t outcome;
};

void PrintTo(const ZelPortCase& row, std::ostream* out) { *out << row.name; }

class FirmwareUploadHttpsZelPort : public testing::TestWithParam<ZelPortCase> {};

// A connection on the Zel port 1756 uploads to port 80 of its device. What
// the application approved for the connection, for its host and port 1756
// (mode 1) or on the connection itself (mode 2), is trusted there too; a
// different certificate on port 80 still fails the upload before anything
// is posted. Only the connection's certificate is ever asked about.
TEST_P(FirmwareUploadHttpsZelPort, TrustsWhatTheConnectionTrusts) {
  ASSERT_EQ(zeltest::enterPrivateNetwork(), "");
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  ASSERT_TRUE(zelkit::test::toolAvailable("openssl"));
  const ZelPortCase& row = GetParam();
  TlsUploadSetup setup;
  const auto& logs = setup.logs;
  DeviceOptions& options = setup.options;
  options.ports = row.sameCertificate ? std::vector<uint16_t>{1756, 80} : std::vector<uint16_t>{1756};
  FirmwareDevice device(options);
  // Otherwise the web server is a device of its own with another certificate.
  std::optional<zeltest::TlsCredentials> otherCredentials;
  std::optional<FirmwareDevice> otherWebServer;
  if (!row.sameCertificate) {
    otherCredentials.emplace("other.zelkit.test");
    options.certificatePath = otherCredentials->certificatePath;
    options.keyPath = otherCredentials->keyPath;
    options.ports = {80};
    otherWebServer.emplace(options);
  }
  FirmwareDevice& webServer = row.sameCertificate ? device : *otherWebServer;
  const FirmwareFile file("fw.bin", 5000);

  zelkit::ZelClient client("https://127.0.0.1:1756", 0, 0);
  zeltest::Approver approver;
  approver.client = &client;
  zelkit::ZelClient::setCertificateCheckingMode(row.mode, false, zeltest::Approver::callback, &approver);
  UploadEvents events(client);
  ASSERT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  EXPECT_EQ(events.outcome(), row.outcome);
  EXPECT_EQ(approver.asked, 1);
  const auto post = expectOutcomeSeenBy(webServer, row.outcome, file, logs);
  if (post) {
    EXPECT_EQ(post->at("port"), "80");
  }
}

const ZelPortCase kZelPort[] = {
    {"CachedForTheConnectionsPort", zelkit::ZelClient::CertificateCheckCached, true, kDone},
    {"OtherCertificateNotCached", zelkit::ZelClient::CertificateCheckCached, false, kFailed},
    {"ApprovedOnTheConnection", zelkit::ZelClient::CertificateCheckAlways, true, kDone},
    {"OtherCertificateNotApproved", zelkit::ZelClient::CertificateCheckAlways, false, kFailed},
};

INSTANTIATE_TEST_SUITE_P(Checking, FirmwareUploadHttpsZelPort, testing::ValuesIn(kZelPort),
                         [](const testing::TestParamInfo<ZelPortCase>& info) { return info.param.name; });

// A TLS peer that never answers the ClientHello holds the upload no longer
// than the handshake's 5 s: a listener that takes connections and reads
// nothing.
TEST(FirmwareUploadHttpsSilent, SilentPeerEndsTheHandshake) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 8), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const auto logs = zeltest::temporaryDirectory("firmware-logs");
  zelkit::System::setLoggingDirectory(logs.c_str());
  const FirmwareFile file("fw.bin", 100);
  zelkit::ZelClient client(("https://127.0.0.1:" + std::to_string(ntohs(address.sin_port))).c_str(), 0, 0);
  UploadEvents events(client);
  ASSERT_EQ(client.startFirmwareUpload(file.path.c_str()), 0);
  // The kind query's 2 s, then the handshake's 5 s.
  EXPECT_EQ(events.outcome(0, 12s), kFailed);
  EXPECT_EQ(zeltest::logLines(logs, "fwul"),
            std::vector<std::string>{"Firmware upload failed status=-1000 error=10060"});
  ::close(listener);
}

}  // namespace
