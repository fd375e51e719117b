#include <string>

#include "client/scanner/reply_parsing.h"
#include "server/discovery/responder_fixture.h"
#include "support/external_tool.h"

namespace {

using namespace discoverytest;

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

void ignoreRequest(zelkit::ZelSessionRef const&, zelkit::ZelHeader&, zelkit::ZelInputStream&) {}

// The XML answer to one request.
std::string describe(Requester& requester) {
  requester.send(scanRequest(1, 0, 0, requester.port()), "127.0.0.1", kBroadcastPort);
  const auto answers = requester.collect(2);
  if (answers.size() != 2) return "";
  return std::string(answers[1].bytes.begin(), answers[1].bytes.end());
}

TEST_F(ResponderTest, DescriptionCarriesTheDeviceAndItsListeners) {
  ZELKIT_REQUIRE_TOOL("xmllint");
  server->bindHttpPort(8080, false, ignoreRequest);
  server->bindHttpPort(8443, true, ignoreRequest);
  server->start(1756);
  server->initDiscoveryPort(0, L"Cam", 0x21000000, 0x42);
  ASSERT_TRUE(waitForResponder());
  Requester requester;
  const std::string xml = describe(requester);
  ASSERT_TRUE(wellFormed(xml)) << xml;
  const std::pair<const char*, const char*> fields[] = {
      {"deviceType", "OEMExtXX:device:deviceID33"},
      {"friendlyName", "Cam"},
      {"serialNumber", "21000000:00000042"},
      {"physAddress", "02-5a-00-10-20-30"},
      {"unitIPAddress", "127.0.0.1"},
      {"unitSubnetMask", "255.0.0.0"},
      {"unitGatewayIp", "127.0.0.254"},
      {"ZELPort", "1756"},
      {"HTTPPort", "8080"},
      {"HTTPSPort", "8443"},
  };
  for (const auto& [element, value] : fields) EXPECT_EQ(xmlElement(xml, element), value) << element;

  // The scanner keys the device by what it reads here.
  zelkit::detail::XmlReply read;
  ASSERT_TRUE(zelkit::detail::readXmlReply(xml.c_str(), read));
  EXPECT_EQ(read.address, ::inet_addr("127.0.0.1"));
  EXPECT_EQ(read.httpPort, 8080);
  EXPECT_EQ(Bytes(read.mac, read.mac + 6), Bytes(kMac, kMac + 6));
}

TEST_F(ResponderTest, AnyNameGivesWellFormedXml) {
  ZELKIT_REQUIRE_TOOL("xmllint");
  struct Case {
    std::wstring name;
    std::string friendlyName;
  };
  const Case cases[] = {
      {L"Cam & <One>", "Cam & <One>"},
      {L"\"quoted\" 'single' >", "\"quoted\" 'single' >"},
      {L"Caf\u00e9 \U0001F600", "Caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {L"ctl\x01\x1f end", std::string("ctl") + kReplacement + kReplacement + " end"},
      {L"", ""},
  };
  Requester requester;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.friendlyName);
    server->initDiscoveryPort(0, row.name.c_str(), 0x21000000, 0);
    ASSERT_TRUE(waitForResponder());
    const std::string xml = describe(requester);
    EXPECT_TRUE(wellFormed(xml)) << xml;
    EXPECT_EQ(xmlElement(xml, "friendlyName"), row.friendlyName);
  }

  // UTF-16 units: a pair makes one character, half a pair none.
  const unsigned short units[] = {'A', 0xD83D, 0xDE00, 0xDC00, 'B', 0};
  server->initDiscoveryPort(0, units, 0x21000000, 0);
  const std::string xml = describe(requester);
  EXPECT_TRUE(wellFormed(xml)) << xml;
  EXPECT_EQ(xmlElement(xml, "friendlyName"), std::string("A\xF0\x9F\x98\x80") + kReplacement + "B");
}

TEST_F(ResponderTest, LongNameIsCutToFitTheDatagram) {
  ZELKIT_REQUIRE_TOOL("xmllint");
  struct Case {
    wchar_t character;
    std::string form;  // in the element's text
  };
  const Case cases[] = {{L'x', "x"}, {L'&', "&"}, {L'\u00e9', "\xC3\xA9"}, {L'\U0001F600', "\xF0\x9F\x98\x80"}};
  Requester requester;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.form);
    const std::wstring name(2000, row.character);
    server->initDiscoveryPort(0, name.c_str(), 0x21000000, 0);
    ASSERT_TRUE(waitForResponder());
    const std::string xml = describe(requester);
    EXPECT_LT(xml.size(), 1500u);
    EXPECT_GT(xml.size(), 1400u);
    ASSERT_TRUE(wellFormed(xml)) << xml;
    const auto friendlyName = xmlElement(xml, "friendlyName");
    ASSERT_TRUE(friendlyName.has_value());
    // Whole characters only.
    std::string expected;
    while (expected.size() < friendlyName->size()) expected += row.form;
    EXPECT_EQ(*friendlyName, expected);
    EXPECT_EQ(xmlElement(xml, "unitIPAddress"), "127.0.0.1");
  }
}

}  // namespace
