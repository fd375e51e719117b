#pragma once

#include "core/wire/byte_io.h"
#include "server/media/media_socket.h"

namespace zelkit::detail {

// Goes on with the TPKT frame under way in frame, taking bytes from read
// (int read(uint8_t* into, int wanted): the count placed, 0 when nothing is
// there yet, -1 on failure). Returns the payload length once the frame is
// complete, 0 while bytes are missing or for an empty frame, -1 for a failed
// read or a length field outside 4..1504. Bytes 0 and 1 are not checked.
template <typename Read>
int readMediaFrame(MediaPacket& frame, Read&& read) {
  while (frame.filled < MEDIA_FRAME_HEADER) {
    const int got = read(frame.frameHeader + frame.filled, MEDIA_FRAME_HEADER - frame.filled);
    if (got < 0) return -1;
    if (got == 0) return 0;
    frame.filled += got;
  }
  frame.frameLength = readBE16(frame.frameHeader + 2);
  // Checked before the size of the next read is worked out from it.
  if (frame.frameLength < MEDIA_FRAME_HEADER || frame.frameLength > MEDIA_FRAME_MAX) return -1;
  if (frame.filled < frame.frameLength) {
    const int got = read(frame.data + (frame.filled - MEDIA_FRAME_HEADER), frame.frameLength - frame.filled);
    if (got < 0) return -1;
    frame.filled += got;
    if (frame.filled < frame.frameLength) return 0;
  }
  frame.filled = 0;
  return frame.frameLength - MEDIA_FRAME_HEADER;
}

}  // namespace zelkit::detail
