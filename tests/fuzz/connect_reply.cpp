// The walk over a media connect reply: descriptors, key items, host ids.
// Input: the reply frame (TPKT word, header, payload, value table); shorter
// than a header, it is read as a bare payload.
#include <cstddef>
#include <cstdint>

#include "../core/wire/received_frame.h"
#include "core/wire/packet.h"
#include "core/wire/stream_access.h"
#include "server/media/connect_reply_reader.h"
#include "zelkit/exceptions.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelkit::detail;
  if (size > 0xFFFF) return 0;
  zelkit::ZelInputStream payload(data, static_cast<int>(size));
  if (size >= static_cast<size_t>(FRAME_HEADER_SIZE)) StreamAccess::attach(payload, zelkit::test::packetAsReceived(data, size));
  ConnectReplyReader reader(payload);
  try {
    for (ConnectReplyReader::Item item; (item = reader.next()) != ConnectReplyReader::Item::End;) {
      if (item == ConnectReplyReader::Item::Stream) {
        const ReplyStream& stream = reader.stream();
        require(stream.stream >= 0 && stream.stream <= 2);
        require(stream.clientSends == 0 || stream.clientSends == 1);
        require(stream.kind == 1 || stream.kind == 2);
        require(stream.itemIndex >= 1);
      } else {
        require(reader.key().stream >= 0 && reader.key().stream <= 2);
      }
    }
  } catch (zelkit::Exception*) {
  }
  require(payload.available() >= 0);
  return 0;
}
