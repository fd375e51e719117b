#pragma once

#include <cstdint>

namespace zelkit::detail {

// Layout of the value table behind a payload: an 8-byte header (total
// length, kind 0x01, reserved, entry count) and entries of a multiple of 4
// bytes (length, type, reserved, data). A host id in such a payload is the
// offset of its entry from the start of the table.
struct ValueTable {
  static constexpr int HeaderSize = 8;
  static constexpr int EntryHeaderSize = 4;
  static constexpr uint32_t KindWord = 0x01000000;  // kind 0x01, reserved 0, no entries yet
  static constexpr int CountOffset = 6;

  enum EntryType : uint8_t {
    IPv4Entry = 0,
    IPv6Entry = 1,
    HostNameEntry = 2,
  };
};

}  // namespace zelkit::detail
