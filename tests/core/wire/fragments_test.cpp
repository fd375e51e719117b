#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "core/engine/list.h"
#include "core/wire/fragment_join.h"
#include "core/wire/packet.h"
#include "core/wire/received_frame.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace zelkit::detail {
namespace {

using test::Bytes;

Bytes frameOf(const ZelPacket* packet) {
  Bytes frame(packet->wire, packet->wire + FRAME_HEADER_SIZE);
  frame.insert(frame.end(), packet->payload(), packet->payload() + packet->tpktLength() - FRAME_HEADER_SIZE);
  return frame;
}

TEST(Frame, EmptyPayloadIsTwentyBytes) {
  ZelOutputStream stream;
  const uint8_t* frame = stream.getZelPacket(ZelHeader(0xFF050C30, 0, 0x2A, 0, 0x01020304, 0x0506));
  const Bytes expected = {0x03, 0x00, 0x00, 0x14, 0xFF, 0x05, 0x0C, 0x30, 0x00, 0x2A,
                          0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00, 0x00};
  EXPECT_EQ(Bytes(frame, frame + 20), expected);
}

TEST(Frame, HeaderAndPayloadInWireOrder) {
  ZelOutputStream stream;
  stream.writeULong(0xA1B2C3D4);
  stream.writeOctet(0x99);
  // The client id is filled in when sending; the header's never goes out here.
  const uint8_t* frame = stream.getZelPacket(ZelHeader(0x12345678, 2, 0xFF, 0x7777, 0xCAFEBABE, 0x0102));
  const Bytes expected = {0x03, 0x00, 0x00, 0x19, 0x12, 0x34, 0x56, 0x78, 0x02, 0xFF, 0x00, 0x00, 0xCA,
                          0xFE, 0xBA, 0xBE, 0x01, 0x02, 0x00, 0x05, 0xA1, 0xB2, 0xC3, 0xD4, 0x99};
  EXPECT_EQ(Bytes(frame, frame + expected.size()), expected);
}

TEST(Frame, PayloadTooLargeForOneFrameIsRefused) {
  const std::vector<uint8_t> fits(0xFFFF - 20, 1);
  ZelOutputStream largest(fits.data(), static_cast<int>(fits.size()));
  const uint8_t* frame = largest.getZelPacket(ZelHeader(1, 0));
  EXPECT_EQ(frame[2], 0xFF);
  EXPECT_EQ(frame[3], 0xFF);

  ZelOutputStream tooLarge(fits.data(), static_cast<int>(fits.size()));
  tooLarge.writeOctet(1);
  EXPECT_THROW(tooLarge.getZelPacket(ZelHeader(1, 0)), BadParameterException*);
}

// A request packet as submission leaves it before splitting.
ZelPacket* requestPacket(int payloadLength) {
  ZelPacket* packet = ZelPacket::alloc(payloadLength);
  packet->setTpktWord(0x03000000);
  packet->setHeaderWord(0, 0xFF050C30);
  packet->setHeaderWord(1, 0x00170000);  // request, transaction 0x17
  packet->setHeaderWord(2, 0x11223344);
  packet->setHeaderWord(3, 0x00090000);  // num 9
  packet->remainingMs = 5000;
  packet->payloadLength = payloadLength;
  for (int i = 0; i < payloadLength; ++i) packet->payload()[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return packet;
}

TEST(Fragments, LargePayloadsSplitIntoFramesOf65504Bytes) {
  struct Case {
    int payloadLength;
    std::vector<int> pieces;
  } cases[] = {
      {100, {100}},
      {65504, {65504}},
      {65505, {65504, 1}},
      {2 * 65504, {65504, 65504}},
      {3 * 65504 + 7, {65504, 65504, 65504, 7}},
  };
  for (const Case& c : cases) {
    ZelPacket* packet = requestPacket(c.payloadLength);
    const Bytes original(packet->payload(), packet->payload() + c.payloadLength);
    PacketChain chain = splitIntoFragments(packet, c.payloadLength);
    ASSERT_EQ(chain.count(), static_cast<int>(c.pieces.size())) << c.payloadLength;
    EXPECT_EQ(chain.first(), packet) << "the packet itself is the first piece";

    Bytes joined;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      ZelPacket* piece = chain.popFront();
      const int length = c.pieces[i];
      const bool last = i + 1 == c.pieces.size();
      const Bytes frame = frameOf(piece);
      ASSERT_EQ(frame.size(), static_cast<size_t>(length + 20));
      const Bytes header = {0x03, 0x00, static_cast<uint8_t>((length + 20) >> 8), static_cast<uint8_t>(length + 20),
                            0xFF, 0x05, 0x0C, 0x30, static_cast<uint8_t>(last ? 0x00 : 0x80), 0x17, 0x00, 0x00,
                            0x11, 0x22, 0x33, 0x44, 0x00, 0x09, static_cast<uint8_t>(length >> 8),
                            static_cast<uint8_t>(length)};
      EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 20), header) << c.payloadLength << " piece " << i;
      EXPECT_EQ(piece->remainingMs, i == 0 ? 5000 : 0x7FFFFFFF);
      joined.insert(joined.end(), frame.begin() + 20, frame.end());
      ZelPacket::free(piece);
    }
    EXPECT_TRUE(joined == original) << c.payloadLength << ": pieces are in ascending payload order";
  }
}

// A frame of a fragmented reply as the receive path hands it over.
ZelPacket* receivedFragment(const Bytes& payload, bool more) {
  ZelPacket* frame = ZelPacket::alloc(static_cast<int>(payload.size()));
  frame->setTpktWord(0x03000000u | static_cast<uint32_t>(payload.size() + 20));
  frame->setHeaderWord(0, 0xFF050C30);
  frame->setHeaderWord(1, (more ? 0x81u : 0x01u) << 24 | 0x170000u);
  frame->setHeaderWord(2, 0x11223344);
  frame->setHeaderWord(3, 0x00090000u | static_cast<uint32_t>(payload.size()));
  frame->sourceUrl = "zelp://device";
  frame->payloadLength = static_cast<int32_t>(payload.size());
  if (!payload.empty()) std::memcpy(frame->payload(), payload.data(), payload.size());
  return frame;
}

TEST(FragmentJoin, JoinsEveryShapeOnceIntoABlockOfItsSize) {
  struct Case {
    const char* name;
    std::vector<int> frames;
  } cases[] = {
      {"two full frames and a byte", {65504, 65504, 1}},
      {"a megabyte as the library sends it", {65504, 65504, 65504, 65504, 65504, 65504, 65504, 65504, 65504, 65504,
                                              65504, 65504, 65504, 65504, 65504, 65504, 16 * 32 + 512}},
      {"largest frames", {65515, 65515}},
      {"empty frames between", {100, 0, 0, 7}},
      {"empty first and last frames", {0, 10, 0}},
      {"small frames around the chunk size", {5000, 4095, 4096, 1, 65515, 3, 4095, 4095, 2048, 2049}},
      {"a small first frame, then large ones", {3, 65504, 65504}},
      {"nothing at all", {0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int live = ZelPacket::liveCount();
    FragmentJoin join;
    Bytes expected;
    ZelPacket* whole = nullptr;
    int seed = 0;
    for (size_t i = 0; i < c.frames.size(); ++i) {
      Bytes payload(static_cast<size_t>(c.frames[i]));
      for (uint8_t& byte : payload) {
        ++seed;
        byte = static_cast<uint8_t>(seed * 13 + seed / 253);
      }
      expected.insert(expected.end(), payload.begin(), payload.end());
      const bool last = i + 1 == c.frames.size();
      ZelPacket* frame = receivedFragment(payload, !last);
      if (last) {
        whole = join.join(frame);
      } else {
        join.add(frame);
        EXPECT_EQ(join.payloadBytes(), static_cast<int64_t>(expected.size()));
      }
    }
    ASSERT_NE(whole, nullptr);
    EXPECT_TRUE(join.isEmpty());
    EXPECT_EQ(ZelPacket::liveCount(), live + 1) << "every frame and chunk given back";
    EXPECT_EQ(whole->payloadLength, static_cast<int32_t>(expected.size()));
    EXPECT_EQ(whole->capacity(), std::max(static_cast<int>(expected.size()), PACKET_MIN_CAPACITY));
    EXPECT_TRUE(Bytes(whole->payload(), whole->payload() + whole->payloadLength) == expected);
    // The first frame's header, its more-fragments bit cleared.
    EXPECT_EQ(whole->headerWord(0), 0xFF050C30u);
    EXPECT_EQ(whole->mode(), 0x01);
    EXPECT_EQ(whole->transactionId(), 0x17);
    EXPECT_EQ(whole->headerWord(2), 0x11223344u);
    EXPECT_EQ(whole->headerWord(3) >> 16, 9u);
    EXPECT_STREQ(whole->sourceUrl, "zelp://device");
    EXPECT_EQ(whole->pNext, nullptr);
    ZelPacket::free(whole);
  }
}

// A peer decides how its payload is cut: frames of a few bytes, or none,
// must not make a join hold far more memory than the bytes it holds.
TEST(FragmentJoin, SmallAndEmptyFramesHoldLittleMemory) {
  struct Case {
    int frameLength;
    int frames;
  } cases[] = {{0, 100000}, {1, 20000}, {100, 2000}, {4095, 64}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frameLength);
    const int live = ZelPacket::liveCount();
    FragmentJoin join;
    const Bytes payload(static_cast<size_t>(c.frameLength), 0x42);
    for (int i = 0; i < c.frames; ++i) join.add(receivedFragment(payload, true));
    // The first frame, then chunks of 4 KiB at least half full.
    const int64_t bytes = join.payloadBytes();
    EXPECT_EQ(bytes, int64_t{c.frameLength} * c.frames);
    EXPECT_LE(ZelPacket::liveCount() - live, 2 + bytes / 2048);
    join.clear();
    EXPECT_TRUE(join.isEmpty());
    EXPECT_EQ(join.payloadBytes(), 0);
    EXPECT_EQ(ZelPacket::liveCount(), live);
  }
}

}  // namespace
}  // namespace zelkit::detail
