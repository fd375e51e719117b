#pragma once

#include <cstdint>

// Bounded big-endian reads over a peer's handshake message: a read past the
// end yields zeros and marks the reader failed, so a parser checks once at
// the end instead of before every field.
namespace zelkit::detail {

class SslReader {
 public:
  SslReader(const uint8_t* data, uint32_t length) : data_(data), length_(length) {}

  uint32_t u8() { return take(1) ? data_[offset_ - 1] : 0; }
  uint32_t u16() { return take(2) ? static_cast<uint32_t>(data_[offset_ - 2]) << 8 | data_[offset_ - 1] : 0; }
  uint32_t u24() {
    if (!take(3)) return 0;
    const uint8_t* p = data_ + offset_ - 3;
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
  }
  // The next `count` bytes, or null (and failed) when fewer remain.
  const uint8_t* bytes(uint32_t count) { return take(count) ? data_ + offset_ - count : nullptr; }
  // A reader over the next `count` bytes, which this one skips.
  SslReader sub(uint32_t count) {
    const uint8_t* start = bytes(count);
    return start != nullptr ? SslReader(start, count) : failedReader();
  }

  uint32_t remaining() const { return length_ - offset_; }
  bool failed() const { return failed_; }
  bool ok() const { return !failed_; }

 private:
  static SslReader failedReader() {
    SslReader reader(nullptr, 0);
    reader.failed_ = true;
    return reader;
  }
  bool take(uint32_t count) {
    if (failed_ || count > length_ - offset_) {
      failed_ = true;
      return false;
    }
    offset_ += count;
    return true;
  }

  const uint8_t* data_;
  uint32_t length_;
  uint32_t offset_ = 0;
  bool failed_ = false;
};

}  // namespace zelkit::detail
