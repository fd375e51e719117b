#include <arpa/inet.h>

#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "core/wire/packet.h"
#include "core/wire/received_frame.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit {
namespace {

using test::Bytes;

TEST(InputStream, ValuesFromNetworkOrder) {
  const Bytes data = {0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x01, 0x02, 0xFF, 0xFF, 0xFF, 0xFE, 0xAB, 0x12, 0x34};
  ZelInputStream stream(data.data(), static_cast<int>(data.size()));
  EXPECT_EQ(stream.readULong(), 258u);
  uint32_t stored;
  std::memcpy(&stored, data.data() + 4, 4);
  EXPECT_EQ(stream.readULongN(), stored);
  EXPECT_EQ(stream.readInt(), -2);
  EXPECT_EQ(stream.readOctet(), 0xAB);
  EXPECT_EQ(stream.readUShort(), 0x1234);
  EXPECT_EQ(stream.available(), 0);
}

TEST(InputStream, RoundTripOfEveryWriteKind) {
  const unsigned short units[] = {0x263A, 0x00E9, 0};
  ZelOutputStream out;
  out.writeOctet(200);
  out.writeUShort(65535);
  out.writeInt(-123456);
  out.writeULong(4000000000u);
  out.write("raw", 3);
  out.writeString("text");
  out.writeWString(L"wide");
  out.writeWString(units);
  out.writeWString("\x7F\x80");
  out.writeHostId("10.20.30.40");

  ZelInputStream in(out.getPayload(), out.size());
  EXPECT_EQ(in.readOctet(), 200);
  EXPECT_EQ(in.readUShort(), 65535);
  EXPECT_EQ(in.readInt(), -123456);
  EXPECT_EQ(in.readULong(), 4000000000u);
  char raw[3];
  in.read(raw, 3);
  EXPECT_EQ(std::string(raw, 3), "raw");
  char text[16];
  in.readString(text, sizeof text);
  EXPECT_STREQ(text, "text");
  wchar_t wide[8];
  in.readWString(wide, 8);
  EXPECT_STREQ(wide, L"wide");
  unsigned short back[4];
  in.readWString(back, 4);
  EXPECT_EQ(back[0], 0x263A);
  EXPECT_EQ(back[1], 0x00E9);
  EXPECT_EQ(back[2], 0);
  in.readWString(back, 4);
  EXPECT_EQ(back[0], 0x007F);
  EXPECT_EQ(back[1], 0xFF80);
  char host[16];
  EXPECT_EQ(in.readHostId(host, sizeof host), host);
  EXPECT_STREQ(host, "10.20.30.40");
  EXPECT_EQ(in.available(), 0);
}

TEST(InputStream, EveryReadPastTheEndThrowsAndMovesNothing) {
  char text[8];
  wchar_t wide[4];
  char host[16];
  sockaddr_in6 address;
  struct Case {
    const char* name;
    int needs;
    std::function<void(ZelInputStream&)> read;
  } cases[] = {
      {"readOctet", 1, [](ZelInputStream& s) { s.readOctet(); }},
      {"readUShort", 2, [](ZelInputStream& s) { s.readUShort(); }},
      {"readULong", 4, [](ZelInputStream& s) { s.readULong(); }},
      {"readInt", 4, [](ZelInputStream& s) { s.readInt(); }},
      {"readULongN", 4, [](ZelInputStream& s) { s.readULongN(); }},
      {"read", 6, [&](ZelInputStream& s) { s.read(text, 6); }},
      {"skip", 6, [](ZelInputStream& s) { s.skip(6); }},
      {"readWString", 2, [&](ZelInputStream& s) { s.readWString(wide, 4); }},
      {"readHostId text", 4, [&](ZelInputStream& s) { s.readHostId(host, sizeof host); }},
      {"readHostId address", 4,
       [&](ZelInputStream& s) { s.readHostId(reinterpret_cast<sockaddr*>(&address), sizeof address); }},
  };
  const Bytes data = {1, 2, 3, 4, 5, 6};
  for (const Case& c : cases) {
    ZelInputStream stream(data.data(), c.needs - 1);
    EXPECT_THROW(c.read(stream), BadParameterException*) << c.name;
    EXPECT_EQ(stream.available(), c.needs - 1) << c.name;
  }
  ZelInputStream stream(data.data(), 6);
  EXPECT_THROW(stream.skip(-1), BadParameterException*);
  EXPECT_EQ(stream.available(), 6);
}

TEST(InputStream, Strings) {
  struct Case {
    const char* name;
    Bytes data;
    int size;
    const char* text;
    int left;
  } cases[] = {
      {"terminated", {'a', 'b', 'c', 0, 'd'}, 10, "abc", 1},
      {"cut to the buffer keeps the remainder", {'a', 'b', 'c', 'd', 'e', 'f', 0}, 4, "abc", 4},
      {"no zero byte ends at the end", {'a', 'b', 'c'}, 10, "abc", 0},
      {"no zero byte and cut", {'a', 'b', 'c', 'd', 'e', 'f'}, 4, "abc", 3},
      {"empty text", {0, 'x'}, 10, "", 1},
      {"nothing left", {}, 10, "", 0},
  };
  for (const Case& c : cases) {
    ZelInputStream stream(c.data.data(), static_cast<int>(c.data.size()));
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    stream.readString(buffer, c.size);
    EXPECT_STREQ(buffer, c.text) << c.name;
    EXPECT_EQ(stream.available(), c.left) << c.name;
  }
  // The remainder of a cut text reads next; an unterminated rest never moves past the end.
  const Bytes data = {'a', 'b', 'c', 'd', 'e', 'f'};
  ZelInputStream stream(data.data(), 6);
  char buffer[4];
  stream.readString(buffer, 4);
  stream.readString(buffer, 4);
  EXPECT_STREQ(buffer, "def");
  stream.readString(buffer, 4);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(stream.available(), 0);
  EXPECT_THROW(stream.readString(buffer, 0), BadParameterException*);
}

TEST(InputStream, WideStringsStopAtZeroOrAtTheLimit) {
  const Bytes data = {0x00, 0x41, 0x00, 0x42, 0x00, 0x00, 0x00, 0x43};
  ZelInputStream whole(data.data(), 8);
  wchar_t text[8];
  whole.readWString(text, 8);
  EXPECT_STREQ(text, L"AB");
  EXPECT_EQ(whole.available(), 2);

  ZelInputStream limited(data.data(), 8);
  unsigned short units[2] = {0xEEEE, 0xEEEE};
  limited.readWString(units, 1);  // one unit is always read, without terminator
  EXPECT_EQ(units[0], 0x41);
  EXPECT_EQ(units[1], 0xEEEE);
  EXPECT_EQ(limited.available(), 6);
}

TEST(InputStream, WideCharactersJoinTheirSurrogatePairs) {
  struct Case {
    const char* name;
    Bytes units;
    int max;
    std::wstring text;  // what is stored, its terminator included when stored
    int left;
  } cases[] = {
      {"within the BMP", {0x00, 0xE9, 0xFF, 0xFE, 0x00, 0x00}, 8, std::wstring(L"\u00E9\uFFFE") + L'\0', 0},
      {"a pair is one character", {0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x00}, 8, std::wstring(L"\U0001F600") + L'\0', 0},
      {"a pair counts once against the buffer", {0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x41, 0x00, 0x00}, 2,
       L"\U0001F600A", 2},
      {"a lone high surrogate", {0xD8, 0x3D, 0x00, 0x41, 0x00, 0x00}, 8, std::wstring(L"\uFFFDA") + L'\0', 0},
      {"a lone low surrogate", {0xDE, 0x00, 0x00, 0x00}, 8, std::wstring(L"\uFFFD") + L'\0', 0},
      {"a high surrogate before the terminator", {0xDB, 0xFF, 0x00, 0x00}, 8, std::wstring(L"\uFFFD") + L'\0', 0},
  };
  for (const Case& c : cases) {
    ZelInputStream stream(c.units.data(), static_cast<int>(c.units.size()));
    std::wstring buffer(8, L'#');
    stream.readWString(buffer.data(), c.max);
    EXPECT_EQ(buffer.substr(0, c.text.size()), c.text) << c.name;
    EXPECT_EQ(stream.available(), c.left) << c.name;
  }
  // The same units read as units stay as they are.
  const Bytes pair = {0xD8, 0x3D, 0xDE, 0x00, 0x00, 0x00};
  ZelInputStream stream(pair.data(), static_cast<int>(pair.size()));
  unsigned short units[3];
  stream.readWString(units, 3);
  EXPECT_EQ(units[0], 0xD83D);
  EXPECT_EQ(units[1], 0xDE00);
}

TEST(InputStream, HeaderParse) {
  struct Case {
    uint8_t wireMode;
    uint8_t mode;
  } cases[] = {{0x00, 0}, {0xC1, 1}, {0x42, 2}, {0x83, 3}, {0xFF, 0xFF}};
  for (const Case& c : cases) {
    const Bytes bytes = {0xFF, 0x05, 0x0C, 0x30, c.wireMode, 0xFE, 0x12, 0x34,
                         0xCA, 0xFE, 0xBA, 0xBE, 0x00, 0x09, 0x00, 0x05};
    ZelInputStream stream(bytes.data(), 16);
    const ZelHeader header(stream);
    EXPECT_EQ(header.tag, 0xFF050C30u);
    EXPECT_EQ(header.mode, c.mode) << int{c.wireMode};
    EXPECT_EQ(header.transactionId, 0xFE);
    EXPECT_EQ(header.clientId, 0x1234);
    EXPECT_EQ(header.sessionId, 0xCAFEBABEu);
    EXPECT_EQ(header.num, 9);
    EXPECT_EQ(header.errorCode, 0);
    EXPECT_EQ(header.sourceUrl, nullptr);
    EXPECT_EQ(stream.available(), 0);

    ZelInputStream shortStream(bytes.data(), 15);
    EXPECT_THROW(ZelHeader{shortStream}, BadParameterException*);
    EXPECT_EQ(shortStream.available(), 1) << "the final field did not fit";
  }
}

TEST(InputStream, PositionAndBuffers) {
  ZelInputStream stream;
  EXPECT_EQ(stream.available(), 0);
  unsigned char* payload = stream.allocBuffer(6);
  std::memcpy(payload, "\x00\x07zzzz", 6);
  EXPECT_EQ(stream.readUShort(), 7);
  EXPECT_EQ(stream.pos(), 2);
  EXPECT_EQ(stream.available(), 4);
  stream.allocBuffer(0);
  EXPECT_EQ(stream.available(), 0);

  const Bytes data = {1, 2, 3};
  ZelInputStream plain(data.data(), 3);
  plain.readOctet();
  EXPECT_EQ(plain.pos(), 0) << "a caller's buffer has no payload start";
}

// --- host ids -------------------------------------------------------------

const Bytes kIPv4Entry = {0x00, 0x08, 0x00, 0x00, 192, 168, 1, 20};
const Bytes kIPv6Entry = {0x00, 0x14, 0x01, 0x00, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Bytes kNameEntry = {0x00, 0x0C, 0x02, 0x00, 'c', 'a', 'm', 'e', 'r', 'a', 0, ' '};
// A name that fills its entry without a zero byte, followed by table bytes
// that would complete it as an address.
const Bytes kUnterminatedName = {0x00, 0x08, 0x02, 0x00, '1', '.', '2', '.'};
const Bytes kTrailing = {'3', '.', '4', 0};

// A table of the entries above, at offsets 8 (IPv4), 16 (IPv6), 36 (camera)
// and 48 (unterminated), 60 bytes in all.
Bytes tableWithEverything() { return test::valueTable({kIPv4Entry, kIPv6Entry, kNameEntry, kUnterminatedName, kTrailing}); }

TEST(InputStream, HostIdAsText) {
  struct Case {
    const char* name;
    uint8_t mode;
    Bytes table;
    uint32_t hostId;
    int size;
    const char* text;  // null: BadParameterException
  } cases[] = {
      {"address in place", 0x01, {}, 0x0A000001, 16, "10.0.0.1"},
      {"address cut to the buffer, terminated", 0x01, {}, 0x0A000001, 5, "10.0"},
      {"IPv4 entry", 0x41, tableWithEverything(), 8, 32, "192.168.1.20"},
      {"IPv6 entry", 0x41, tableWithEverything(), 16, 64, "2001:db8::1"},
      {"IPv6 entry into a short buffer", 0x41, tableWithEverything(), 16, 4, ""},
      {"name entry", 0x41, tableWithEverything(), 36, 32, "camera"},
      {"name cut to the buffer", 0x41, tableWithEverything(), 36, 4, "cam"},
      {"name without zero byte stays within its entry", 0x41, tableWithEverything(), 48, 32, "1.2."},
      {"offset outside the table", 0x41, tableWithEverything(), 64, 32, nullptr},
      {"name entry without data", 0x41, test::valueTable({{0x00, 0x04, 0x02, 0x00}}), 8, 32, nullptr},
      {"IPv4 entry of the wrong length", 0x41, test::valueTable({{0x00, 0x0C, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}}), 8,
       32, nullptr},
      {"IPv6 entry of the wrong length", 0x41, test::valueTable({{0x00, 0x08, 0x01, 0x00, 1, 2, 3, 4}}), 8, 32, nullptr},
      {"unknown entry type", 0x41, test::valueTable({{0x00, 0x08, 0x07, 0x00, 1, 2, 3, 4}}), 8, 32, nullptr},
  };
  for (const Case& c : cases) {
    ZelInputStream stream;
    test::attachFrame(stream, c.mode, test::be32(c.hostId), c.table);
    char buffer[80];
    std::memset(buffer, 'Z', sizeof buffer);
    if (c.text == nullptr) {
      EXPECT_THROW(stream.readHostId(buffer, c.size), BadParameterException*) << c.name;
      continue;
    }
    EXPECT_EQ(stream.readHostId(buffer, c.size), buffer) << c.name;
    EXPECT_STREQ(buffer, c.text) << c.name;
    EXPECT_EQ(buffer[c.size], 'Z') << c.name << ": nothing written past the size";
  }

  ZelInputStream zero;
  test::attachFrame(zero, 0x41, test::be32(0), tableWithEverything());
  char buffer[8] = "x";
  EXPECT_EQ(zero.readHostId(buffer, sizeof buffer), nullptr);
  EXPECT_STREQ(buffer, "");
}

TEST(InputStream, AssignmentReadsACopyOfItsOwnFromTheSamePosition) {
  ZelInputStream target;
  target.allocBuffer(32);  // freed by the assignment
  {
    ZelInputStream source;
    test::attachFrame(source, 0x41, test::concat({{0xAA, 0xBB}, test::be32(36)}), tableWithEverything());
    source.readOctet();
    target = source;
    EXPECT_EQ(target.pos(), 1);
    EXPECT_EQ(target.available(), 5);
    const ZelInputStream& itself = target;
    target = itself;  // nothing happens
    EXPECT_EQ(target.available(), 5);
  }  // the source's packet goes with it
  EXPECT_EQ(target.readOctet(), 0xBB);
  char host[16];
  ASSERT_EQ(target.readHostId(host, sizeof host), host);  // through the copied value table
  EXPECT_STREQ(host, "camera");
  EXPECT_EQ(target.available(), 0);

  Bytes data = {1, 2, 3};
  ZelInputStream overBuffer(data.data(), 3);
  overBuffer.readOctet();
  target = overBuffer;
  data[1] = 0xEE;  // the caller's bytes were copied, not referenced
  EXPECT_EQ(target.readUShort(), 0x0203);

  ZelInputStream empty;
  target = empty;
  EXPECT_EQ(target.available(), 0);
}

TEST(InputStream, HostIdAsSocketAddress) {
  struct Case {
    const char* name;
    uint8_t mode;
    uint32_t hostId;
    int family;      // 0: BadParameterException
    const char* address;
    int result;
  } cases[] = {
      {"no table: the address in place", 0x01, 0x0A000001, AF_INET, "10.0.0.1", 4},
      {"zero with a table", 0x41, 0, AF_INET, "0.0.0.0", 4},
      {"IPv4 entry", 0x41, 8, AF_INET, "192.168.1.20", 4},
      {"IPv6 entry", 0x41, 16, AF_INET6, "2001:db8::1", 16},
      {"unparsable name", 0x41, 36, 0, nullptr, 0},
      {"name parsed within its entry", 0x41, 48, 0, nullptr, 0},
      {"offset outside the table", 0x41, 1000, 0, nullptr, 0},
  };
  for (const Case& c : cases) {
    ZelInputStream stream;
    test::attachFrame(stream, c.mode, test::be32(c.hostId), tableWithEverything());
    sockaddr_in6 storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    if (c.family == 0) {
      EXPECT_THROW(stream.readHostId(address, sizeof storage), BadParameterException*) << c.name;
      continue;
    }
    EXPECT_EQ(stream.readHostId(address, sizeof storage), c.result) << c.name;
    ASSERT_EQ(address->sa_family, c.family) << c.name;
    char text[64];
    const void* bytes = c.family == AF_INET ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(address)->sin_addr)
                                            : static_cast<const void*>(&storage.sin6_addr);
    inet_ntop(c.family, bytes, text, sizeof text);
    EXPECT_STREQ(text, c.address) << c.name;
  }
}

TEST(InputStream, HostIdNamesParseAsAddresses) {
  const Bytes v4Name = {0x00, 0x10, 0x02, 0x00, '1', '0', '.', '1', '.', '2', '.', '3', 0, ' ', ' ', ' '};
  const Bytes v6Name = {0x00, 0x0C, 0x02, 0x00, '[', ':', ':', '1', ']', 0, ' ', ' '};
  const Bytes table = test::valueTable({v4Name, v6Name});
  ZelInputStream stream;
  test::attachFrame(stream, 0x42, test::concat({test::be32(8), test::be32(24)}), table);
  sockaddr_in6 storage;
  auto* address = reinterpret_cast<sockaddr*>(&storage);
  EXPECT_EQ(stream.readHostId(address, sizeof storage), 12);
  EXPECT_EQ(address->sa_family, AF_INET);
  EXPECT_EQ(reinterpret_cast<sockaddr_in*>(address)->sin_addr.s_addr, inet_addr("10.1.2.3"));
  EXPECT_EQ(stream.readHostId(address, sizeof storage), 8);
  EXPECT_EQ(address->sa_family, AF_INET6);
  EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&storage.sin6_addr));
}

TEST(InputStream, HostIdIntoASmallAddressIsRefusedButConsumed) {
  const Bytes data = {10, 0, 0, 1, 10, 0, 0, 2};
  ZelInputStream stream(data.data(), 8);
  sockaddr_in6 storage;
  EXPECT_EQ(stream.readHostId(reinterpret_cast<sockaddr*>(&storage), 27), -1);
  EXPECT_EQ(stream.available(), 4);
}

}  // namespace
}  // namespace zelkit
