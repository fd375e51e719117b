#include <gtest/gtest.h>
#include <stdio.h>

#include <cstdlib>
#include <string>

#include "core/log/logging_test_util.h"
#include "core/log/packet_dump.h"
#include "core/wire/received_frame.h"

namespace {

using namespace zelkit::test;
using zelkit::detail::ZelPacket;

struct DumpCase {
  const char* name;
  uint8_t mode;
  Bytes payload;
  Bytes table;
  std::string expected;  // after the time stamp and "recv "
};

void PrintTo(const DumpCase& row, std::ostream* out) { *out << row.name; }

Bytes text(const char* characters, size_t length) { return Bytes(characters, characters + length); }

const Bytes IPV4_ENTRY = {0x00, 0x08, 0x00, 0x00, 192, 168, 1, 20};
const Bytes IPV6_ENTRY = {0x00, 0x14, 0x01, 0x00, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Bytes NAME_ENTRY = concat({{0x00, 0x0c, 0x02, 0x00}, text("camera\0 ", 8)});

// A received frame's dump, written with the fixed clock.
std::string dump(const DumpCase& row) {
  const Bytes frame = frameBytes(row.mode, row.payload, row.table);
  ZelPacket* packet = receivedPacket(frame, static_cast<int>(row.payload.size()));
  char* buffer = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&buffer, &size);
  zelkit::detail::writePacketDump(file, "recv", packet->wire + 4, 0, packet);
  fclose(file);
  std::string written(buffer, size);
  std::free(buffer);
  ZelPacket::free(packet);
  return written;
}

class PacketDump : public testing::TestWithParam<DumpCase> {
 protected:
  void SetUp() override { loggingtest::useFixedClockInUtc(); }
};

TEST_P(PacketDump, WritesTheGoldenRecord) {
  const DumpCase& row = GetParam();
  EXPECT_EQ(dump(row), "2024-03-10 12:00:00.123 recv " + row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PacketDump,
    testing::Values(
        DumpCase{"EmptyPayload", 0x01, {}, {}, "ff050c30.01070000.11223344.00090000: \n"},
        DumpCase{"ShortPayloadInline", 0x01, {0x01, 0x02, 0x03}, {}, "ff050c30.01070000.11223344.00090003: 010203\n"},
        DumpCase{"TwentyBytesTwoLines", 0x02,
                 concat({text("ABCDEFGHIJKLMNOP", 16), {0x00, 0x7f, 0x20, 0x7e}}),
                 {},
                 "ff050c30.02070000.11223344.00090014: "
                 "\n  0000  41424344 45464748 494a4b4c 4d4e4f50  ABCDEFGHIJKLMNOP"
                 "\n  0010  007f207e  .. ~\n"},
        DumpCase{"TableOfAddressesAndName", 0x41, {0x00, 0x00, 0x00, 0x08},
                 valueTable({IPV4_ENTRY, IPV6_ENTRY, NAME_ENTRY}),
                 "ff050c30.41070000.11223344.00090004: 00000008"
                 "\n  t000  00000030.01000003"
                 "\n  t008  00080000 IP  = 192.168.1.20"
                 "\n  t010  00140100 IPv6= 2001:db8::1"
                 "\n  t024  000c0200 host= camera\n"},
        // The name has no zero byte: it ends with its entry, not in the next one.
        DumpCase{"NameBoundedByItsEntry", 0x41, {},
                 valueTable({concat({{0x00, 0x08, 0x02, 0x00}, text("abcd", 4)}), IPV4_ENTRY}),
                 "ff050c30.41070000.11223344.00090000: "
                 "\n  t000  00000018.01000002"
                 "\n  t008  00080200 host= abcd"
                 "\n  t010  00080000 IP  = 192.168.1.20\n"},
        DumpCase{"ShortAddressAndUnknownType", 0x41, {},
                 valueTable({{0x00, 0x04, 0x01, 0x00}, {0x00, 0x04, 0x07, 0x00}}),
                 "ff050c30.41070000.11223344.00090000: "
                 "\n  t000  00000010.01000002"
                 "\n  t008  00040100 IPv6= "
                 "\n  t00c  00040700 <Unsupported Type 7>\n"},
        // Lengths that could never reach the table's end stop the walk.
        DumpCase{"ZeroLengthEntryEndsTheWalk", 0x41, {}, valueTable({{0x00, 0x00, 0x02, 0x00}, IPV4_ENTRY}),
                 "ff050c30.41070000.11223344.00090000: "
                 "\n  t000  00000014.01000002"
                 "\n  t008  00000200 <Bad entry length 0>\n"},
        DumpCase{"OffGridLengthEndsTheWalk", 0x41, {}, valueTable({{0x00, 0x06, 0x02, 0x00, 'a', 0}, IPV4_ENTRY}),
                 "ff050c30.41070000.11223344.00090000: "
                 "\n  t000  00000016.01000002"
                 "\n  t008  00060200 <Bad entry length 6>\n"},
        DumpCase{"EntryPastTheFrame", 0x41, {}, valueTable({{0x00, 0x20, 0x02, 0x00, 'a', 'b', 'c', 0}}),
                 "ff050c30.41070000.11223344.00090000: "
                 "\n  t000  00000010.01000001"
                 "\n  t008  00200200 "
                 "\n### Fatal error, table doesn't fit to packet\n"},
        DumpCase{"TableHeaderPastTheFrame", 0x41, {}, {0x00, 0x00, 0x00, 0x08},
                 "ff050c30.41070000.11223344.00090000: "
                 "\n### Fatal error, table doesn't fit to packet\n"},
        // Bit 0x80: a fragment, whose tail is payload, not a table.
        DumpCase{"FragmentHasNoTable", 0xc1, {0x01}, valueTable({IPV4_ENTRY}),
                 "ff050c30.c1070000.11223344.00090001: 01\n"}),
    [](const testing::TestParamInfo<DumpCase>& info) { return std::string(info.param.name); });

// A given length replaces the header's field, but never reaches past the
// packet's payload.
TEST(PacketDumpLength, GivenLengthIsBoundedByThePayload) {
  loggingtest::useFixedClockInUtc();
  ZelPacket* packet = receivedPacket(frameBytes(0x01, {0x0a, 0x0b, 0x0c}), 3);
  char* buffer = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&buffer, &size);
  zelkit::detail::writePacketDump(file, "send", packet->wire + 4, 2, packet);
  zelkit::detail::writePacketDump(file, "send", packet->wire + 4, 400, packet);
  fclose(file);
  EXPECT_EQ(std::string(buffer, size),
            "2024-03-10 12:00:00.123 send ff050c30.01070000.11223344.00090003: 0a0b\n"
            "2024-03-10 12:00:00.123 send ff050c30.01070000.11223344.00090003: 0a0b0c\n");
  std::free(buffer);
  ZelPacket::free(packet);
}

}  // namespace
