#include "core/wire/packet.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/wire/received_frame.h"

namespace zelkit::detail {
namespace {

using test::Bytes;
using test::be32;
using test::concat;

TEST(PacketPool, CapacityIsNeverBelowTheMinimum) {
  struct Case {
    int requested;
    int capacity;
  } cases[] = {{-5, 128}, {0, 128}, {128, 128}, {129, 129}, {65504, 65504}};
  for (const Case& c : cases) {
    ZelPacket* packet = ZelPacket::alloc(c.requested);
    EXPECT_EQ(packet->capacity(), c.capacity) << c.requested;
    EXPECT_EQ(packet->callback, nullptr);
    EXPECT_EQ(packet->payloadLength, 0);
    EXPECT_EQ(packet->valueTable, nullptr);
    ZelPacket::free(packet);
  }
}

TEST(PacketPool, CachesAtMostAHundredMinimumSizeBlocks) {
  // Drain whatever the cache holds, then refill it.
  std::vector<ZelPacket*> packets;
  for (int i = 0; i < 2 * PACKET_CACHE_MAX + 1; ++i) packets.push_back(ZelPacket::alloc(0));
  ASSERT_EQ(ZelPacket::cachedCount(), 0);
  const int live = ZelPacket::liveCount();

  for (int i = 0; i < PACKET_CACHE_MAX; ++i) ZelPacket::free(packets[i]);
  EXPECT_EQ(ZelPacket::cachedCount(), PACKET_CACHE_MAX);
  EXPECT_EQ(ZelPacket::liveCount(), live - PACKET_CACHE_MAX);

  ZelPacket::free(packets[PACKET_CACHE_MAX]);  // the 101st goes back to the heap
  EXPECT_EQ(ZelPacket::cachedCount(), PACKET_CACHE_MAX);
  EXPECT_EQ(ZelPacket::liveCount(), live - PACKET_CACHE_MAX - 1);

  // A larger block never enters the cache; a minimum-size request reuses the last cached block.
  ZelPacket::free(ZelPacket::alloc(129));
  EXPECT_EQ(ZelPacket::cachedCount(), PACKET_CACHE_MAX);
  ZelPacket* reused = ZelPacket::alloc(1);
  EXPECT_EQ(reused, packets[PACKET_CACHE_MAX - 1]);
  EXPECT_EQ(ZelPacket::cachedCount(), PACKET_CACHE_MAX - 1);

  ZelPacket::free(reused);
  for (size_t i = PACKET_CACHE_MAX + 1; i < packets.size(); ++i) ZelPacket::free(packets[i]);
  EXPECT_EQ(ZelPacket::liveCount(), live - static_cast<int>(packets.size()));
}

// Hands back every larger cached block: passes with nothing allocated in
// between leave every block unused through two of them.
void emptyLargeCache() {
  for (int pass = 0; pass < 3; ++pass) ZelPacket::releaseIdleBlocks();
  ASSERT_EQ(ZelPacket::cachedLargeBytes(), 0);
}

TEST(PacketPool, LargerBlocksServeCapacitiesOfTheirSizeClass) {
  struct Case {
    int freed;
    int asked;
    bool reused;
  } cases[] = {
      {129, 129, true},
      {129, 144, true},  // eight classes per doubling: 129 .. 144 share one
      {129, 145, false},
      {PACKET_MIN_CAPACITY, 129, false},  // the minimum size has its own cache
      {65504, 65504, true},
      {65504, 61441, true},
      {65504, 61440, false},
      {1 << 20, 1 << 20, true},
      {1 << 20, (1 << 20) + 1, false},
      {32 << 20, 32 << 20, true},
      {(32 << 20) + 1, (32 << 20) + 1, false},  // beyond the largest class: the heap's
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.freed << " then " << c.asked);
    emptyLargeCache();
    const int live = ZelPacket::liveCount();
    ZelPacket* freed = ZelPacket::alloc(c.freed);
    ZelPacket::free(freed);
    const int64_t cached = ZelPacket::cachedLargeBytes();
    ZelPacket* packet = ZelPacket::alloc(c.asked);
    EXPECT_EQ(ZelPacket::cachedLargeBytes() < cached, c.reused);
    if (c.reused) {
      EXPECT_EQ(packet, freed);
    }
    EXPECT_EQ(packet->capacity(), c.asked) << "the capacity asked for, whatever the block's class";
    EXPECT_EQ(packet->payloadLength, 0);
    EXPECT_EQ(packet->valueTable, nullptr);
    EXPECT_EQ(ZelPacket::liveCount(), live + 1);
    std::memset(packet->payload(), 0x5A, static_cast<size_t>(c.asked));  // the whole capacity is there
    ZelPacket::free(packet);
    EXPECT_EQ(ZelPacket::liveCount(), live);
  }
  emptyLargeCache();
}

TEST(PacketPool, LargerBlocksAreKeptWithinTheBoundAndHandedBackWhenUnused) {
  emptyLargeCache();
  const int live = ZelPacket::liveCount();
  constexpr int kBlock = 1 << 20;
  const int64_t blockBytes = static_cast<int64_t>(PACKET_FIXED_SIZE + PACKET_SPARE_BYTES) + kBlock;
  std::vector<ZelPacket*> packets;
  for (int64_t held = 0; held <= PACKET_LARGE_CACHE_BYTES + 4 * blockBytes; held += blockBytes)
    packets.push_back(ZelPacket::alloc(kBlock));
  for (ZelPacket* packet : packets) ZelPacket::free(packet);
  EXPECT_EQ(ZelPacket::liveCount(), live);
  const int64_t kept = ZelPacket::cachedLargeBytes();
  EXPECT_LE(kept, PACKET_LARGE_CACHE_BYTES);
  EXPECT_GT(kept, PACKET_LARGE_CACHE_BYTES - blockBytes);

  ZelPacket::releaseIdleBlocks();
  EXPECT_EQ(ZelPacket::cachedLargeBytes(), kept) << "freed since the previous pass";
  ZelPacket::releaseIdleBlocks();
  EXPECT_EQ(ZelPacket::cachedLargeBytes(), kept) << "unused through one pass only";
  ZelPacket::free(ZelPacket::alloc(kBlock));
  ZelPacket::releaseIdleBlocks();
  EXPECT_EQ(ZelPacket::cachedLargeBytes(), blockBytes) << "as many blocks stay as were in use meanwhile";
  ZelPacket* used = ZelPacket::alloc(kBlock);
  EXPECT_EQ(ZelPacket::cachedLargeBytes(), 0);
  ZelPacket::free(used);
  for (int pass = 0; pass < 3; ++pass) ZelPacket::releaseIdleBlocks();
  EXPECT_EQ(ZelPacket::cachedLargeBytes(), 0);
  EXPECT_EQ(ZelPacket::liveCount(), live);
}

TEST(PacketPool, UnusedBlocksMakeRoomForTheSizesInUse) {
  emptyLargeCache();
  std::vector<ZelPacket*> old;
  for (int64_t held = 0; held <= PACKET_LARGE_CACHE_BYTES; held += 1 << 20) old.push_back(ZelPacket::alloc(1 << 20));
  for (ZelPacket* packet : old) ZelPacket::free(packet);
  ZelPacket::releaseIdleBlocks();  // all of them unused from here on

  // The cache is full of them; a freed block of another size still stays
  // for the next one, in place of blocks nobody asked for.
  ZelPacket* current = ZelPacket::alloc(4 << 20);
  ZelPacket::free(current);
  EXPECT_EQ(ZelPacket::alloc(4 << 20), current);
  ZelPacket::free(current);
  EXPECT_LE(ZelPacket::cachedLargeBytes(), PACKET_LARGE_CACHE_BYTES);
  // Blocks in use keep their place: both sizes are still served from the
  // cache after a third size came.
  ZelPacket::free(ZelPacket::alloc(1 << 20));
  ZelPacket::free(ZelPacket::alloc(8 << 20));
  for (const int size : {1 << 20, 4 << 20}) {
    const int64_t before = ZelPacket::cachedLargeBytes();
    ZelPacket* packet = ZelPacket::alloc(size);
    EXPECT_LT(ZelPacket::cachedLargeBytes(), before) << size;
    ZelPacket::free(packet);
  }
  emptyLargeCache();
}

TEST(PacketPool, ThreadsSharingThePoolNeverShareABlock) {
  // Each thread marks the blocks it holds and checks the marks before it
  // gives them back: a block handed out twice, or a count updated by two
  // threads at once, shows.
  constexpr int threads = 4;
  constexpr int rounds = 20000;
  constexpr int held = 3;
  const int live = ZelPacket::liveCount();
  std::atomic<int> overwritten{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, &overwritten] {
      ZelPacket* packets[held];
      for (int round = 0; round < rounds; ++round) {
        const auto mark = static_cast<uint8_t>(t * 64 + round % 64);
        for (ZelPacket*& packet : packets) {
          packet = ZelPacket::alloc(round % 7 == 0 ? 200 : round % 5 == 0 ? 70000 : 0);
          std::memset(packet->payload(), mark, PACKET_MIN_CAPACITY);
        }
        for (ZelPacket* packet : packets) {
          for (int i = 0; i < PACKET_MIN_CAPACITY; ++i)
            if (packet->payload()[i] != mark) {
              overwritten.fetch_add(1);
              break;
            }
          ZelPacket::free(packet);
        }
      }
    });
  }
  // Meanwhile the housekeeping hands unused blocks back.
  std::atomic<bool> done{false};
  std::thread housekeeping([&done] {
    while (!done) {
      ZelPacket::releaseIdleBlocks();
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  for (std::thread& worker : workers) worker.join();
  done = true;
  housekeeping.join();
  EXPECT_EQ(overwritten.load(), 0);
  EXPECT_EQ(ZelPacket::liveCount(), live);
  EXPECT_LE(ZelPacket::cachedCount(), PACKET_CACHE_MAX);
}

TEST(PacketPool, GrowKeepsTheRecordAndTheValueTable) {
  ZelPacket* packet = ZelPacket::alloc(0);
  packet->remainingMs = 1234;
  packet->setTpktWord(0x03000020);
  std::memcpy(packet->payload(), "abcdefghijkl", 12);
  ZelOutputStream* table = packet->getValueTable();
  const int live = ZelPacket::liveCount();

  ZelPacket* grown = ZelPacket::grow(packet, 1000);
  EXPECT_EQ(ZelPacket::liveCount(), live);
  EXPECT_EQ(grown->capacity(), 1000);
  EXPECT_EQ(grown->remainingMs, 1234);
  EXPECT_EQ(grown->tpktWord(), 0x03000020u);
  EXPECT_EQ(std::memcmp(grown->payload(), "abcdefghijkl", 12), 0);
  EXPECT_EQ(grown->valueTable, table);
  ZelPacket::free(grown);
}

TEST(PacketPool, CloneCopiesTheRecordWithoutLinkOrTable) {
  ZelPacket* packet = ZelPacket::alloc(300);
  packet->context = packet;
  packet->setHeaderWord(0, 0x00400020);
  packet->payloadLength = 3;
  std::memcpy(packet->payload(), "xyz", 3);
  packet->pNext = packet;
  packet->getValueTable();

  ZelPacket* copy = ZelPacket::clone(packet);
  EXPECT_EQ(copy->capacity(), 300);
  EXPECT_EQ(copy->getContext(), packet);
  EXPECT_EQ(copy->headerWord(0), 0x00400020u);
  EXPECT_EQ(copy->payloadLength, 3);
  EXPECT_EQ(std::memcmp(copy->payload(), "xyz", 3), 0);
  EXPECT_EQ(copy->pNext, nullptr);
  EXPECT_FALSE(copy->hasValueTable());
  ZelPacket::free(copy);
  ZelPacket::free(packet);
}

TEST(PacketPool, FailureNotice) {
  struct Case {
    ErrorCodes code;
    uint8_t mode;
    uint8_t byte;
  } cases[] = {{ResponseTimeout, 0xFF, 0x01}, {InvalidCmd, 0x03, 0x40}, {UnknownError, 0x03, 0xFF},
               {ConnectionReset, 0xFF, 0x07}};
  for (const Case& c : cases) {
    ZelPacket* packet = ZelPacket::alloc(0);
    packet->setTpktWord(0x03000064);
    packet->setHeaderWord(1, 0x40070000);
    packet->setHeaderWord(3, 0x00090050);
    packet->payloadLength = 80;
    ZelPacket::setError(packet, c.code);
    EXPECT_EQ(packet->mode(), c.mode) << c.code;
    EXPECT_EQ(packet->transactionId(), 7);
    EXPECT_EQ(packet->headerWord(3), 0x00090001u) << "num stays, payload length 1";
    EXPECT_EQ(packet->payloadLength, 1);
    EXPECT_EQ(packet->payload()[0], c.byte);
    EXPECT_EQ(packet->tpktWord(), 0x03000064u);
    ZelPacket::free(packet);
  }
}

TEST(PacketPool, WireAccessors) {
  const Bytes frame = test::frameBytes(0x41, {1, 2, 3, 4, 5}, be32(0));
  ZelPacket* packet = test::receivedPacket(frame, 5);
  EXPECT_EQ(packet->tpktLength(), 29);
  EXPECT_EQ(packet->payloadEndOffset(), 25);
  EXPECT_EQ(packet->mode(), 0x41);
  EXPECT_EQ(packet->transactionId(), 7);
  EXPECT_EQ(packet->headerWord(0), 0xFF050C30u);
  EXPECT_EQ(packet->headerWord(2), 0x11223344u);
  EXPECT_EQ(packet->valueTablePointer(), packet->payload() + 5);
  EXPECT_EQ(packet->valueTableLength(), 4);
  ZelPacket::free(packet);
}

// Lookups in received tables: every offset and length comes from the peer.
TEST(ValueTableLookup, FindsOnlyEntriesWithinTheTable) {
  const Bytes ipv4Entry = {0x00, 0x08, 0x00, 0x00, 10, 0, 0, 1};
  const Bytes table = test::valueTable({ipv4Entry});  // 16 bytes
  const Bytes payload(12, 0xAB);
  struct Case {
    const char* name;
    uint8_t mode;
    Bytes table;
    int payloadLength;  // -1: the payload alone
    uint32_t offset;
    bool found;
  } cases[] = {
      {"first entry", 0x41, table, -1, 8, true},
      {"no table bit", 0x01, table, -1, 8, false},
      {"offset at the table end", 0x41, table, -1, 16, false},
      {"entry header ends at the table end", 0x41, table, -1, 12, false},
      {"offset that wraps around", 0x41, table, -1, 0xFFFFFFFC, false},
      {"largest offset", 0x41, table, -1, 0xFFFFFFFF, false},
      {"entry reaching past the end", 0x41, concat({be32(16), {1, 0, 0, 1}, {0x00, 0x0C, 0x00, 0x00, 10, 0, 0, 1}}), -1, 8,
       false},
      {"entry length 0", 0x41, concat({be32(16), {1, 0, 0, 1}, {0x00, 0x00, 0x00, 0x00, 10, 0, 0, 1}}), -1, 8, false},
      {"entry length 3", 0x41, concat({be32(16), {1, 0, 0, 1}, {0x00, 0x03, 0x00, 0x00, 10, 0, 0, 1}}), -1, 8, false},
      {"table shorter than its header", 0x41, {0x00, 0x08, 0x00, 0x00, 10, 0, 0}, -1, 0, false},
      {"joined packet: payload beyond the first frame", 0x41, table, 100000, 8, false},
  };
  for (const Case& c : cases) {
    const Bytes frame = test::frameBytes(c.mode, payload, c.table);
    ZelPacket* packet =
        test::receivedPacket(frame, c.payloadLength < 0 ? static_cast<int>(payload.size()) : c.payloadLength);
    const uint8_t* entry = packet->getValueTableEntry(c.offset);
    EXPECT_EQ(entry != nullptr, c.found) << c.name;
    if (entry != nullptr) {
      EXPECT_EQ(entry, packet->payload() + payload.size() + c.offset) << c.name;
    }
    ZelPacket::free(packet);
  }
}

TEST(ValueTableLookup, NeverReadsBeyondTheBlockWhateverTheTpktLengthSays) {
  // A TPKT length far beyond the packet's block, as a corrupt record might hold.
  ZelPacket* packet = ZelPacket::alloc(0);
  packet->setTpktWord(0x0300FFFF);
  packet->setMode(0x41);
  packet->payloadLength = 0;
  uint8_t* table = packet->payload();
  std::memset(table, 0, 128);
  EXPECT_EQ(packet->valueTableLength(), 128);
  // An entry header inside the block whose length reaches past it.
  table[120] = 0x00;
  table[121] = 0x10;
  EXPECT_EQ(packet->getValueTableEntry(120), nullptr);
  EXPECT_EQ(packet->getValueTableEntry(1000), nullptr);
  ZelPacket::free(packet);
}

}  // namespace
}  // namespace zelkit::detail
