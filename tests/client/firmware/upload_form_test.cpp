// The firmware POST as a device's web server (Python's http.server and
// email.parser) receives it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "client/firmware/firmware_device.h"
#include "client/firmware/upload_test_util.h"
#include "support/external_tool.h"
#include "support/private_network.h"

namespace {

using namespace fwtest;

constexpr char kBoundaryLine[] = "--fwUploadBbDd20020722wmx\r\n";
constexpr char kClosingBoundary[] = "\r\n--fwUploadBbDd20020722wmx--\r\n";

std::string partHead(const std::string& field, const std::string& fileName) {
  return std::string(kBoundaryLine) + "Content-Disposition: form-data; name=\"" + field + "\"; filename=\"" + fileName +
         "\"\r\nContent-Type: text/plain\r\n\r\n";
}

// Uploads the file under the name given on a fresh client of the URL; the
// device's record of the POST.
std::optional<Post> upload(FirmwareDevice& device, const std::string& url, const char* fileName) {
  zelkit::ZelClient client(url.c_str(), 0, 0);
  UploadEvents events(client);
  EXPECT_EQ(client.startFirmwareUpload(fileName), 0);
  auto post = device.nextPost();
  EXPECT_EQ(events.outcome(), kDone);
  return post;
}

// The file given as "fw.bin" (no directory): the head, the part head, the
// file and the closing boundary, exactly, with Content-Length
// 1000 + 6 + 7 + 140. Without a password there is no Authorization line.
TEST(FirmwareUploadForm, PostsThePartHeadFileAndClosingBoundary) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  FirmwareDevice device;
  const FirmwareFile file("fw.bin", 1000);
  ASSERT_EQ(::chdir(file.directory.c_str()), 0);
  const auto post = upload(device, device.url("zelp", "user@"), "fw.bin");
  ASSERT_TRUE(post);
  auto field = [&](const char* name) {
    return post->count(name) ? post->at(name) : "<missing " + std::string(name) + ">";
  };
  EXPECT_EQ(field("head"),
            "POST /upload.htm HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; "
            "boundary=fwUploadBbDd20020722wmx\r\nUser-Agent: KRT\r\nConnection: Keep-Alive\r\nContent-Length: "
            "1153\r\n\r\n");
  EXPECT_EQ(field("length"), "1153");
  EXPECT_EQ(field("part_head"), partHead("net.bin", "fw.bin"));
  EXPECT_EQ(field("size"), "1000");
  EXPECT_EQ(field("md5"), md5Of(file.path));
  EXPECT_EQ(field("tail"), kClosingBoundary);
  // The same body through a multipart parser.
  EXPECT_EQ(field("form_name"), "net.bin");
  EXPECT_EQ(field("form_filename"), "fw.bin");
  EXPECT_EQ(field("form_md5"), md5Of(file.path));
}

// The device kind picks page and field; "http://" URLs (the Zel traffic
// behind a tunnel request) upload alike. The name goes as given, path and all.
TEST(FirmwareUploadForm, DeviceKindPicksPageAndField) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  struct Case {
    const char* kind;
    const char* scheme;
    const char* page;
    const char* field;
  };
  const Case cases[] = {
      {"a", "zelp", "service5.htm", "tavrobox.32x"},
      {"6", "http", "service5.htm", "tavrobox.32x"},
      {"A", "zelp", "service5.htm", "tavrobox.32x"},
      {"b", "http", "upload.htm", "net.bin"},
  };
  const FirmwareFile file("image.bin", 3000);
  for (const Case& row : cases) {
    SCOPED_TRACE(row.kind);
    DeviceOptions options;
    options.kind = row.kind;
    FirmwareDevice device(options);
    const auto post = upload(device, device.url(row.scheme), file.path.c_str());
    ASSERT_TRUE(post);
    const std::string length = std::to_string(3000 + file.path.string().size() + std::strlen(row.field) + 140);
    EXPECT_EQ(post->at("head").rfind(std::string("POST /") + row.page + " HTTP/1.1\r\n", 0), 0u) << post->at("head");
    EXPECT_NE(post->at("head").find("\r\nContent-Length: " + length + "\r\n\r\n"), std::string::npos);
    EXPECT_EQ(post->at("length"), length);
    EXPECT_EQ(post->at("part_head"), partHead(row.field, file.path.string()));
    EXPECT_EQ(post->at("md5"), md5Of(file.path));
    EXPECT_EQ(device.kindQueries(), std::vector<std::string>{std::to_string(device.port())});
  }
}

// Basic credentials on one line, also when their base64 passes 76
// characters (60 bytes: the longest user and a 40-character password).
TEST(FirmwareUploadForm, CredentialsStayOnOneHeaderLine) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  const FirmwareFile file("fw.bin", 500);
  const std::string longCredentials = std::string(19, 'u') + ":" + std::string(40, 'p');
  ASSERT_EQ(longCredentials.size(), 60u);
  for (const std::string& credentials : {std::string("admin:secret"), longCredentials}) {
    SCOPED_TRACE(credentials);
    FirmwareDevice device;
    const auto post = upload(device, device.url("zelp", credentials + "@"), file.path.c_str());
    ASSERT_TRUE(post);
    EXPECT_EQ(post->count("auth") ? post->at("auth") : "", credentials);
    const std::string& head = post->at("head");
    const auto line = head.find("\r\nAuthorization: Basic ");
    ASSERT_NE(line, std::string::npos);
    const auto lineEnd = head.find("\r\n", line + 2);
    EXPECT_EQ(head.substr(lineEnd, 28), "\r\nConnection: Keep-Alive\r\nCo");
    EXPECT_EQ(post->at("md5"), md5Of(file.path));
  }
}

// A device on IPv6 gets its address and port as the Host.
TEST(FirmwareUploadForm, Ipv6DeviceGetsItsAddressAsHost) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  DeviceOptions options;
  options.address = "::1";
  FirmwareDevice device(options);
  const FirmwareFile file("fw.bin", 100);
  const auto post = upload(device, device.url("http"), file.path.c_str());
  ASSERT_TRUE(post);
  EXPECT_NE(post->at("head").find("\r\nHost: [::1]:" + std::to_string(device.port()) + "\r\n"), std::string::npos)
      << post->at("head");
  EXPECT_EQ(post->at("md5"), md5Of(file.path));
}

// A URL on the Zel port 1756 uploads to the device's port 80; the kind
// query still goes to 1756.
TEST(FirmwareUploadForm, ZelPortUploadsToPort80) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  ASSERT_EQ(zeltest::enterPrivateNetwork(), "");
  DeviceOptions options;
  options.ports = {1756, 80};
  FirmwareDevice device(options);
  const FirmwareFile file("fw.bin", 100);
  const auto post = upload(device, "zelp://127.0.0.1", file.path.c_str());
  ASSERT_TRUE(post);
  EXPECT_EQ(post->at("port"), "80");
  EXPECT_EQ(device.kindQueries(), std::vector<std::string>{"1756"});
}

}  // namespace
