#include "server/media/connect_descriptor.h"

#include <gtest/gtest.h>

#include "server/media/connect_reply_reader.h"
#include "server/media/media_test_util.h"
#include "support/external_tool.h"
#include "zelkit/exceptions.h"

namespace {

using namespace zelkit::detail;
using mediatest::Bytes;
using mediatest::Descriptor;
using zelkit::test::fromHex;

TEST(ConnectDescriptor, BytesAtTheirOffsets) {
  struct Case {
    const char* name;
    ConnectDescriptor descriptor;
    const char* hex;
  };
  ConnectDescriptor video;
  video.media = MediaVideo;
  video.flags = 0x48;
  video.transport = 0x0400;
  video.port = htons(0x1F40);
  video.address = MULTICAST_REQUEST;
  video.parameter = 0xAB;
  video.line = 0x07;
  video.coding = 0x8008;
  ConnectDescriptor audio;
  audio.clientSends = 1;
  audio.media = MediaAudio;
  audio.transport = 0x0101;
  audio.coding = 0x0001;
  const Case cases[] = {
      {"receive video", video, "00 01 00 48 00000000 0400 1f40 e0000000 ab 07 000000000000 8008 ffff 0000 0090"},
      {"send audio: no video words", audio,
       "01 02 00 00 00000000 0101 0000 00000000 00 00 000000000000 0001 0000 0000 0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t out[CONNECT_DESCRIPTOR_SIZE];
    makeConnectDescriptor(out, c.descriptor);
    EXPECT_EQ(Bytes(out, out + sizeof out), fromHex(c.hex));
  }
}

TEST(ConnectDescriptor, KeyItemsCarryTheKeyInOrderThenTheEndItem) {
  zelkit::ZelOutputStream payload;
  const Bytes key = mediatest::pattern(16);
  writeKeyItems(payload, key.data());
  EXPECT_EQ(Bytes(payload.getPayload(), payload.getPayload() + payload.size()), mediatest::keyItems(key));
}

// What the reader gave, item by item.
struct Seen {
  char item;  // 'S' stream, 'K' key
  int stream;
  int clientSends;
  int index;
  Bytes key;
};

std::vector<Seen> readAll(const Bytes& payload) {
  zelkit::ZelInputStream stream(payload.data(), static_cast<int>(payload.size()));
  ConnectReplyReader reader(stream);
  std::vector<Seen> seen;
  for (ConnectReplyReader::Item item; (item = reader.next()) != ConnectReplyReader::Item::End;) {
    if (item == ConnectReplyReader::Item::Stream)
      seen.push_back({'S', reader.stream().stream, reader.stream().clientSends, reader.stream().itemIndex, {}});
    else
      seen.push_back({'K', reader.key().stream, reader.key().clientSends, 0,
                      Bytes(reader.key().key, reader.key().key + STREAM_KEY_SIZE)});
  }
  return seen;
}

bool operator==(const Seen& a, const Seen& b) {
  return a.item == b.item && a.stream == b.stream && a.clientSends == b.clientSends && a.index == b.index &&
         a.key == b.key;
}

std::ostream& operator<<(std::ostream& out, const Seen& seen) {
  return out << seen.item << " stream " << seen.stream << " sends " << seen.clientSends << " index " << seen.index;
}

TEST(ConnectReplyReader, AcceptedStreamsAndTheirKeys) {
  using mediatest::encodeDescriptor;
  using mediatest::join;
  const Bytes key = mediatest::pattern(16, 0x40);
  const Bytes video = encodeDescriptor(Descriptor{});
  const Bytes audioSend = encodeDescriptor(Descriptor{.clientSends = 1, .media = 2});
  const Bytes secondVideo = encodeDescriptor(Descriptor{.coding = 0x0010});
  const Bytes refused = encodeDescriptor(Descriptor{.status = 0});
  const Bytes other = encodeDescriptor(Descriptor{.media = 3});
  Bytes partialKey = mediatest::keyItems(key);
  partialKey[1 * 8 + 1] = 0;  // the second item carries no key bytes

  struct Case {
    const char* name;
    Bytes payload;
    std::vector<Seen> expected;
  };
  const Bytes keyBytesWithoutSecondWord = [&] {
    Bytes k = key;
    std::fill(k.begin() + 4, k.begin() + 8, 0);
    return k;
  }();
  const Case cases[] = {
      {"one video stream", video, {{'S', 0, 0, 1, {}}}},
      {"second video by its coding", secondVideo, {{'S', 2, 0, 1, {}}}},
      {"not accepted, and other media, are passed over", join({refused, other, video}), {{'S', 0, 0, 3, {}}}},
      {"key items count in the index",
       join({audioSend, mediatest::keyItems(key), video}),
       {{'S', 1, 1, 1, {}}, {'K', 1, 1, 0, key}, {'S', 0, 0, 7, {}}}},
      {"keys of a refused stream go nowhere", join({video, refused, mediatest::keyItems(key)}), {{'S', 0, 0, 1, {}}}},
      {"a key item without key bytes leaves zeros",
       join({audioSend, partialKey}),
       {{'S', 1, 1, 1, {}}, {'K', 1, 1, 0, keyBytesWithoutSecondWord}}},
      {"extension items before any descriptor go nowhere",
       join({mediatest::keyItems(key), video}),
       {{'S', 0, 0, 6, {}}}},
      {"a tail shorter than an item is left", join({video, Bytes(7, 0)}), {{'S', 0, 0, 1, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(readAll(c.payload), c.expected);
  }
}

TEST(ConnectReplyReader, FieldsOfAnAcceptedStream) {
  const Bytes payload = mediatest::encodeDescriptor(Descriptor{
      .flags = 0x40, .transport = 0x0480, .port = 5004, .address = 0xEF010203, .parameter = 0x11, .line = 0x22});
  zelkit::ZelInputStream stream(payload.data(), static_cast<int>(payload.size()));
  ConnectReplyReader reader(stream);
  ASSERT_EQ(reader.next(), ConnectReplyReader::Item::Stream);
  const ReplyStream& accepted = reader.stream();
  EXPECT_EQ(accepted.kind, 1u);
  EXPECT_EQ(accepted.flags, 0x40);
  EXPECT_EQ(accepted.transport, 0x0480);
  EXPECT_EQ(ntohs(accepted.port), 5004);
  EXPECT_EQ(accepted.address.sin6_family, AF_INET);
  EXPECT_EQ(ntohl(reinterpret_cast<const sockaddr_in*>(&accepted.address)->sin_addr.s_addr), 0xEF010203u);
  EXPECT_EQ(accepted.parameter, 0x11);
  EXPECT_EQ(accepted.line, 0x22);
}

TEST(ConnectReplyReader, DescriptorCutShortThrows) {
  const Bytes video = mediatest::encodeDescriptor(Descriptor{});
  const Bytes payload = mediatest::join({video, Bytes(video.begin(), video.begin() + 20)});
  zelkit::ZelInputStream stream(payload.data(), static_cast<int>(payload.size()));
  ConnectReplyReader reader(stream);
  ASSERT_EQ(reader.next(), ConnectReplyReader::Item::Stream);
  EXPECT_THROW(reader.next(), zelkit::BadParameterException*);
}

}  // namespace
