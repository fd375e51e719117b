#include "server/media/connect_reply_reader.h"

#include <cstring>

#include "core/wire/byte_io.h"

namespace zelkit::detail {

ConnectReplyReader::Item ConnectReplyReader::next() {
  while (payload_.available() >= EXTENSION_ITEM_SIZE) {
    ++itemIndex_;
    uint8_t item[CONNECT_DESCRIPTOR_SIZE];
    payload_.read(item, EXTENSION_ITEM_SIZE);
    if (item[0] == EXTENSION_ITEM_MARK) {
      const int k = extensionItems_++;
      if (k < STREAM_KEY_ITEMS && item[1] != 0) std::memcpy(key_.key + 4 * k, item + 4, 4);
      if (k + 1 == STREAM_KEY_ITEMS && keyHasStream_) return Item::Key;
      continue;
    }

    extensionItems_ = 0;
    keyHasStream_ = false;
    std::memset(key_.key, 0, sizeof key_.key);
    payload_.read(item + 8, 4);
    sockaddr_in6 address{};
    payload_.readHostId(reinterpret_cast<sockaddr*>(&address), sizeof address);
    payload_.read(item + 16, 16);
    if (item[2] != 1) continue;
    ReplyStream accepted;
    if (item[1] == MediaVideo) {
      accepted.kind = 1;
      accepted.stream = (readBE16(item + 24) & SECOND_VIDEO_CODING) != 0 ? 2 : 0;
    } else if (item[1] == MediaAudio) {
      accepted.kind = 2;
      accepted.stream = 1;
    } else {
      continue;
    }
    accepted.clientSends = item[0] & 0x01;
    accepted.flags = item[3];
    accepted.transport = readBE16(item + 8);
    std::memcpy(&accepted.port, item + 10, 2);
    accepted.address = address;
    accepted.parameter = item[16];
    accepted.line = item[17];
    accepted.itemIndex = itemIndex_;
    stream_ = accepted;
    key_.stream = accepted.stream;
    key_.clientSends = accepted.clientSends;
    keyHasStream_ = true;
    return Item::Stream;
  }
  return Item::End;
}

}  // namespace zelkit::detail
