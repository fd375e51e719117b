#include "server/media/connect_descriptor.h"

#include <cstring>

#include "core/wire/byte_io.h"

namespace zelkit::detail {

void makeConnectDescriptor(uint8_t out[CONNECT_DESCRIPTOR_SIZE], const ConnectDescriptor& descriptor) {
  std::memset(out, 0, CONNECT_DESCRIPTOR_SIZE);
  out[0] = descriptor.clientSends;
  out[1] = descriptor.media;
  out[2] = descriptor.status;
  out[3] = descriptor.flags;
  writeBE16(out + 8, descriptor.transport);
  std::memcpy(out + 10, &descriptor.port, 2);
  writeBE32(out + 12, descriptor.address);
  out[16] = descriptor.parameter;
  out[17] = descriptor.line;
  writeBE16(out + 24, descriptor.coding);
  if (descriptor.media == MediaVideo) {
    writeBE16(out + 26, 0xFFFF);
    writeBE16(out + 30, 0x0090);
  }
}

void writeConnectDescriptor(ZelOutputStream& out, const ConnectDescriptor& descriptor) {
  makeConnectDescriptor(out.reserve(CONNECT_DESCRIPTOR_SIZE), descriptor);
}

void writeKeyItems(ZelOutputStream& out, const uint8_t key[STREAM_KEY_SIZE]) {
  for (int word = 0; word < STREAM_KEY_ITEMS; ++word) {
    uint8_t* item = out.reserve(EXTENSION_ITEM_SIZE);
    const uint8_t head[4] = {EXTENSION_ITEM_MARK, 0x04, 0x00, 0x00};
    std::memcpy(item, head, 4);
    std::memcpy(item + 4, key + 4 * word, 4);
  }
  uint8_t* end = out.reserve(EXTENSION_ITEM_SIZE);
  std::memset(end, 0, EXTENSION_ITEM_SIZE);
  end[0] = EXTENSION_ITEM_MARK;
}

}  // namespace zelkit::detail
