#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/wire/packet.h"
#include "core/wire/payloads.h"
#include "core/wire/received_frame.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit {
namespace {

using detail::ZelPacket;
using test::Bytes;

Bytes bytesOf(const ZelOutputStream& stream) { return Bytes(stream.getPayload(), stream.getPayload() + stream.size()); }

Bytes tableOf(const ZelOutputStream& stream) { return bytesOf(*stream.getPacket()->valueTable); }

sockaddr_in ipv4(const char* text) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, text, &address.sin_addr);
  return address;
}

sockaddr_in6 ipv6(const char* text) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  inet_pton(AF_INET6, text, &address.sin6_addr);
  return address;
}

TEST(OutputStream, ValuesInNetworkOrder) {
  ZelOutputStream stream;
  EXPECT_EQ(stream.size(), 0);
  stream.writeOctet(0x81);
  stream.writeUShort(0x1234);
  stream.writeInt(-2);
  stream.writeULong(0xA1B2C3D4);
  stream.writeULong(static_cast<unsigned long>(0x1FFFFFFFFull));  // taken modulo 2^32
  stream.write("xy", 2);
  std::memcpy(stream.reserve(3), "abc", 3);
  stream.writeString("hi");
  const Bytes expected = {0x81, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFE, 0xA1, 0xB2, 0xC3, 0xD4, 0xFF, 0xFF,
                          0xFF, 0xFF, 'x',  'y',  'a',  'b',  'c',  'h',  'i',  0x00};
  EXPECT_EQ(bytesOf(stream), expected);
}

TEST(OutputStream, WideStrings) {
  const unsigned short units[] = {0x1234, 0xFFFE, 0};
  ZelOutputStream wide;
  wide.writeWString(L"A");
  ZelOutputStream narrow;
  narrow.writeWString("\xE9");
  ZelOutputStream shorts;
  shorts.writeWString(units);
  EXPECT_EQ(bytesOf(wide), (Bytes{0x00, 0x41, 0x00, 0x00}));
  EXPECT_EQ(bytesOf(narrow), (Bytes{0xFF, 0xE9, 0x00, 0x00}));
  EXPECT_EQ(bytesOf(shorts), (Bytes{0x12, 0x34, 0xFF, 0xFE, 0x00, 0x00}));
  EXPECT_EQ(bytesOf(ZelOutputStream(L"A")), bytesOf(wide));
  EXPECT_EQ(bytesOf(ZelOutputStream(units)), bytesOf(shorts));
}

TEST(OutputStream, WideCharactersGoOutAsUtf16Units) {
  struct Case {
    const char* name;
    std::wstring text;
    Bytes units;
  } cases[] = {
      {"within the BMP, unchanged", L"\u00E9\uFFFE", {0x00, 0xE9, 0xFF, 0xFE, 0x00, 0x00}},
      {"beyond U+FFFF, a surrogate pair", L"A\U0001F600", {0x00, 0x41, 0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x00}},
      {"the last character", L"\U0010FFFF", {0xDB, 0xFF, 0xDF, 0xFF, 0x00, 0x00}},
      {"beyond U+10FFFF, the replacement", std::wstring(1, static_cast<wchar_t>(0x110000)), {0xFF, 0xFD, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    ZelOutputStream written;
    written.writeWString(c.text.c_str());
    EXPECT_EQ(bytesOf(written), c.units) << c.name;
    EXPECT_EQ(bytesOf(ZelOutputStream(c.text.c_str())), c.units) << c.name;
  }
}

TEST(OutputStream, GrowsByDoublingAndKeepsItsBytesAndTable) {
  ZelOutputStream stream;
  stream.enforceValueTable();
  const ZelOutputStream* table = stream.getPacket()->valueTable;
  for (int i = 0; i < 129; ++i) stream.writeOctet(static_cast<uint8_t>(i));
  EXPECT_EQ(stream.getPacket()->capacity(), 256);
  ASSERT_EQ(stream.size(), 129);
  for (int i = 0; i < 129; ++i) ASSERT_EQ(stream.getPayload()[i], i);
  EXPECT_EQ(stream.getPacket()->valueTable, table);

  std::vector<uint8_t> big(1000, 0x5A);
  stream.write(big.data(), 1000);  // more than twice the room: exactly what is needed
  EXPECT_EQ(stream.getPacket()->capacity(), 256 + 1000);
  EXPECT_EQ(stream.size(), 1129);
}

TEST(OutputStream, BadArgumentsThrow) {
  ZelOutputStream stream;
  EXPECT_THROW(stream.write("x", -1), BadParameterException*);
  EXPECT_THROW(stream.reserve(-1), BadParameterException*);
  EXPECT_THROW(stream.writeString(nullptr), BadParameterException*);
  EXPECT_THROW(stream.writeHostId(static_cast<const char*>(nullptr)), BadParameterException*);
  EXPECT_THROW(ZelOutputStream("x", -3), BadParameterException*);
  sockaddr none{};
  EXPECT_THROW(stream.writeHostId(&none), BadParameterException*);
  EXPECT_EQ(stream.size(), 0);
}

TEST(OutputStream, HostIdsWithoutTableAreAddressesInPlace) {
  struct Case {
    const char* text;
    Bytes hostId;
  } cases[] = {
      {"10.0.0.1", {10, 0, 0, 1}},
      {"192.168.1.20", {192, 168, 1, 20}},
      {"999.1.1.1", {0xFF, 0xFF, 0xFF, 0xFF}},  // what the address parser makes of unreadable text
  };
  for (const Case& c : cases) {
    ZelOutputStream stream;
    stream.writeHostId(c.text);
    EXPECT_EQ(bytesOf(stream), c.hostId) << c.text;
    EXPECT_FALSE(stream.getPacket()->hasValueTable());
  }
  sockaddr_in address = ipv4("172.16.5.4");
  ZelOutputStream stream;
  stream.writeHostId(reinterpret_cast<sockaddr*>(&address));
  EXPECT_EQ(bytesOf(stream), (Bytes{172, 16, 5, 4}));
}

TEST(OutputStream, NamesBecomeTableEntriesAndEveryLaterHostIdToo) {
  ZelOutputStream stream;
  stream.writeHostId("camera");
  EXPECT_EQ(bytesOf(stream), (Bytes{0, 0, 0, 8}));
  EXPECT_EQ(tableOf(stream), (Bytes{0, 0, 0, 20, 1, 0, 0, 1, 0x00, 0x0C, 0x02, 0x00, 'c', 'a', 'm', 'e', 'r', 'a', 0, 0x20}));

  stream.writeHostId("10.0.0.1");  // a table exists now: a name entry at offset 20
  EXPECT_EQ(bytesOf(stream), (Bytes{0, 0, 0, 8, 0, 0, 0, 20}));
  EXPECT_EQ(tableOf(stream),
            (Bytes{0, 0, 0, 36, 1, 0, 0, 2, 0x00, 0x0C, 0x02, 0x00, 'c', 'a', 'm', 'e', 'r', 'a', 0, 0x20, 0x00,
                   0x10, 0x02, 0x00, '1', '0', '.', '0', '.', '0', '.', '1', 0, 0x20, 0x20, 0x20}));

  ZelOutputStream cam;
  cam.writeHostId("cam");
  const Bytes camTable = tableOf(cam);
  EXPECT_EQ(Bytes(camTable.begin() + 8, camTable.end()), (Bytes{0x00, 0x08, 0x02, 0x00, 0x63, 0x61, 0x6D, 0x00}));
}

TEST(OutputStream, AddressEntries) {
  // A 100-byte payload whose last field is an IPv4 host id in an enforced table.
  sockaddr_in v4 = ipv4("192.168.1.20");
  ZelOutputStream stream;
  stream.enforceValueTable();
  stream.write(std::vector<uint8_t>(96, 0).data(), 96);
  stream.writeHostId(reinterpret_cast<sockaddr*>(&v4));
  EXPECT_EQ(stream.size(), 100);
  EXPECT_EQ(Bytes(stream.getPayload() + 96, stream.getPayload() + 100), (Bytes{0, 0, 0, 8}));
  EXPECT_EQ(tableOf(stream), (Bytes{0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x01, 0x00, 0x08, 0x00, 0x00, 192, 168, 1, 20}));

  // IPv6 always goes into the table, creating it.
  sockaddr_in6 v6 = ipv6("2001:db8::1");
  ZelOutputStream six;
  six.writeHostId(reinterpret_cast<sockaddr*>(&v6));
  EXPECT_EQ(bytesOf(six), (Bytes{0, 0, 0, 8}));
  EXPECT_EQ(tableOf(six), (Bytes{0, 0, 0, 28, 1, 0, 0, 1, 0x00, 0x14, 0x01, 0x00, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 1}));
}

TEST(OutputStream, ExtractHandsOverThePacket) {
  ZelOutputStream stream("12345", 5);
  ZelPacket* packet = stream.extractPacket();
  EXPECT_EQ(packet->payloadLength, 5);
  EXPECT_EQ(stream.size(), 0);
  EXPECT_EQ(stream.getPacket(), nullptr);
  stream.writeOctet(9);  // an emptied stream starts over
  EXPECT_EQ(bytesOf(stream), Bytes{9});
  ZelPacket::free(packet);
}

TEST(OutputStream, CopiesAreDeep) {
  ZelOutputStream source;
  source.writeULong(7);
  source.writeHostId("camera");

  ZelOutputStream copy(source);
  ZelOutputStream assigned;
  assigned.writeString("old contents");
  assigned = source;
  assigned = assigned;
  source.writeHostId("other");

  for (const ZelOutputStream* stream : {&copy, &assigned}) {
    EXPECT_EQ(bytesOf(*stream), (Bytes{0, 0, 0, 7, 0, 0, 0, 8}));
    EXPECT_NE(stream->getPacket()->valueTable, source.getPacket()->valueTable);
    EXPECT_EQ(tableOf(*stream).size(), 20u);
  }
}

TEST(OutputStream, CopyOfAnInputStreamTakesTheUnreadBytesAndTheTable) {
  const Bytes table = test::valueTable({{0x00, 0x08, 0x00, 0x00, 10, 1, 2, 3}});
  ZelInputStream input;
  test::attachFrame(input, 0x41, {0xAA, 0xBB, 0, 0, 0, 8}, table);
  input.readOctet();

  ZelOutputStream copy(input);
  EXPECT_EQ(bytesOf(copy), (Bytes{0xBB, 0, 0, 0, 8}));
  EXPECT_EQ(tableOf(copy), table);

  const uint8_t buffer[] = {1, 2, 3};
  ZelInputStream plain(buffer, 3);
  plain.readOctet();
  ZelOutputStream fromBuffer(plain);
  EXPECT_EQ(bytesOf(fromBuffer), (Bytes{2, 3}));
  EXPECT_FALSE(fromBuffer.getPacket()->hasValueTable());
}

TEST(OutputStream, OneValuePayloads) {
  EXPECT_EQ(bytesOf(detail::OctetPayload(0x7F)), Bytes{0x7F});
  EXPECT_EQ(bytesOf(detail::IntPayload(-2)), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(bytesOf(detail::ULongPayload(0x01020304)), (Bytes{1, 2, 3, 4}));
}

}  // namespace
}  // namespace zelkit
