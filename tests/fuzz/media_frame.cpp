// The TPKT media frame reader over a stream that arrives in pieces.
// Input: pieces, each one byte n and then up to n bytes of the stream; the
// reader is called until a piece is used up. A refused frame starts a new
// stream, as the socket is closed.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "server/media/media_frame_reader.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelkit::detail;
  MediaPacket frame;
  size_t at = 0;
  while (at < size) {
    size_t piece = data[at++];
    if (piece > size - at) piece = size - at;
    const uint8_t* bytes = data + at;
    at += piece;
    auto read = [&](uint8_t* into, int wanted) {
      require(wanted > 0);
      const size_t count = piece < static_cast<size_t>(wanted) ? piece : static_cast<size_t>(wanted);
      std::memcpy(into, bytes, count);
      bytes += count;
      piece -= count;
      return static_cast<int>(count);
    };
    for (;;) {
      const size_t before = piece;
      const int result = readMediaFrame(frame, read);
      require(result <= MEDIA_PACKET_MAX);
      require(frame.filled >= 0 && frame.filled <= MEDIA_FRAME_MAX);
      if (result < 0) frame = MediaPacket();
      if (piece == 0 || (result == 0 && piece == before)) break;
    }
  }
  return 0;
}
