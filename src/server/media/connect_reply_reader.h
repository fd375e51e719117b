#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "server/media/connect_descriptor.h"
#include "zelkit/streams.h"

namespace zelkit::detail {

// A descriptor of a connect reply that the device accepted.
struct ReplyStream {
  int stream = 0;       // 0 video, 1 audio, 2 second video
  int clientSends = 0;  // 1: a stream the client sends
  uint32_t kind = 0;    // 1 video, 2 audio
  uint8_t flags = 0;
  uint16_t transport = 0;
  uint16_t port = 0;  // network order
  sockaddr_in6 address{};
  uint8_t parameter = 0;  // byte 16
  uint8_t line = 0;       // byte 17
  int itemIndex = 0;      // counted over all 8-byte items from 1
};

// A stream key carried by the four items behind an accepted descriptor.
struct ReplyKey {
  int stream = 0;
  int clientSends = 0;
  uint8_t key[STREAM_KEY_SIZE] = {};
};

// Walks a connect reply in 8-byte items: an item whose first byte is 0xE0
// is an extension item, anything else starts a 32-byte descriptor.
// Descriptors not accepted, or of other media, are passed over, and so are
// the key items behind them.
class ConnectReplyReader {
 public:
  enum class Item { End, Stream, Key };

  explicit ConnectReplyReader(ZelInputStream& payload) : payload_(payload) {}

  // On to the next accepted stream or completed key; throws what the payload
  // stream throws when a descriptor is cut short or its address unreadable.
  Item next();
  const ReplyStream& stream() const { return stream_; }
  const ReplyKey& key() const { return key_; }

 private:
  ZelInputStream& payload_;
  int itemIndex_ = 0;
  int extensionItems_ = 0;  // since the last descriptor
  bool keyHasStream_ = false;
  ReplyStream stream_;
  ReplyKey key_;
};

}  // namespace zelkit::detail
