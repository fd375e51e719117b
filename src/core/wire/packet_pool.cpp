// The process-wide store of packet blocks behind ZelPacket::alloc and free.
//
// Minimum-size blocks, the common case of small requests and replies, are
// kept in a cache of their own (at most PACKET_CACHE_MAX, never handed back).
// Larger blocks are made for one of eight size classes per doubling (at most
// an eighth larger than asked; the packet still tells the capacity asked
// for), so that freed blocks of nearby sizes serve each other, and are kept
// per class up to PACKET_LARGE_CACHE_BYTES in all: a large message would
// otherwise take its blocks from the heap and give them back for every
// message, and the heap hands the pages to the kernel and faults them in
// again each time.
// Blocks that no allocation wanted through two housekeeping passes go back
// to the heap, so a process that once moved a large message does not keep
// its memory; blocks unused since the last pass also make room when a freed
// block would not fit the bound, so that the cache follows what the traffic
// needs now.

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>

#include "common/never_destroyed.h"
#include "core/wire/packet.h"
#include "platform/sync.h"

namespace zelkit::detail {

namespace {

constexpr std::size_t kMaxCapacity = INT32_MAX - PACKET_FIXED_SIZE - PACKET_SPARE_BYTES;
constexpr int kClassShift = 3;  // 2^3 classes per doubling
constexpr int kSmallestClassBits = 7;  // the first classes lie just above 2^7 = PACKET_MIN_CAPACITY
// A larger block would take more than half of what the cache may hold.
constexpr std::size_t kLargestClassCapacity = std::size_t{1} << 25;
constexpr int kClassCount = (std::bit_width(kLargestClassCapacity - 1) - kSmallestClassBits) << kClassShift;
static_assert(std::size_t{1} << kSmallestClassBits == PACKET_MIN_CAPACITY);

constexpr std::size_t blockBytes(std::size_t capacity) { return PACKET_FIXED_SIZE + capacity + PACKET_SPARE_BYTES; }

// The bytes of every block of a size class.
constexpr std::size_t classBytes(int sizeClass) {
  const int bits = (sizeClass >> kClassShift) + kSmallestClassBits;
  const std::size_t steps = static_cast<std::size_t>(sizeClass & ((1 << kClassShift) - 1)) + (1 << kClassShift) + 1;
  return blockBytes(steps << (bits - kClassShift));
}
static_assert(kLargestClassCapacity <= PACKET_LARGE_CACHE_BYTES / 2);

// Where a block for a payload capacity comes from and goes back to: the
// minimum-size cache, a size class, or (beyond the largest class) the heap
// alone; and the bytes it takes.
struct Placement {
  bool minimum;
  int sizeClass;  // -1: none
  std::size_t bytes;
};

Placement placementOf(std::size_t capacity) {
  if (capacity == PACKET_MIN_CAPACITY) return {true, -1, blockBytes(capacity)};
  if (capacity > kLargestClassCapacity) return {false, -1, blockBytes(capacity)};
  // 2^bits < capacity <= 2^(bits + 1), in steps of 2^(bits - 3): the class
  // of the ninth to sixteenth step.
  const int bits = std::bit_width(capacity - 1) - 1;
  const int stepBits = bits - kClassShift;
  const auto steps = static_cast<int>((capacity + (std::size_t{1} << stepBits) - 1) >> stepBits);
  const int sizeClass = ((bits - kSmallestClassBits) << kClassShift) + steps - (1 << kClassShift) - 1;
  return {false, sizeClass, classBytes(sizeClass)};
}

// Held only for a few updates of the pool, never while waiting for
// anything and never twice by one thread: every request takes it several
// times, so it spins on the rare collision rather than sleep, and keeps no
// owner.
class PoolLock {
 public:
  void lock() {
    while (taken_.exchange(true, std::memory_order_acquire))
      while (taken_.load(std::memory_order_relaxed)) platform::yieldProcessor();
  }
  void unlock() { taken_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> taken_{false};
};

using PoolGuard = std::lock_guard<PoolLock>;

// Freed blocks of one size class, linked through pNext.
struct SizeClass {
  ZelPacket* blocks = nullptr;
  int32_t count = 0;
  // The fewest blocks held since the last release: that many stood unused.
  int32_t fewestSinceRelease = 0;
  // Of the blocks that stood unused before the last release, those it kept.
  int32_t unusedBefore = 0;
};

struct PacketPool {
  PoolLock lock;
  int liveCount = 0;
  int cachedCount = 0;
  ZelPacket* cache = nullptr;
  int64_t largeBytes = 0;
  SizeClass classes[kClassCount];
};
constinit NeverDestroyed<PacketPool> pool;

// Takes a block from its cache, or null; counts it live either way.
ZelPacket* takeCached(const Placement& placement) {
  PoolGuard guard(pool->lock);
  ++pool->liveCount;
  if (placement.minimum) {
    ZelPacket* packet = pool->cache;
    if (packet != nullptr) {
      pool->cache = packet->pNext;
      --pool->cachedCount;
    }
    return packet;
  }
  if (placement.sizeClass < 0) return nullptr;
  SizeClass& sizeClass = pool->classes[placement.sizeClass];
  ZelPacket* packet = sizeClass.blocks;
  if (packet == nullptr) return nullptr;
  sizeClass.blocks = packet->pNext;
  --sizeClass.count;
  if (sizeClass.count < sizeClass.fewestSinceRelease) sizeClass.fewestSinceRelease = sizeClass.count;
  pool->largeBytes -= static_cast<int64_t>(placement.bytes);
  return packet;
}

// Gives up blocks that stood unused since the last release (onto
// `released`), largest class first, until `needed` more bytes fit the bound
// or none is left; the class `keptClass` keeps its blocks.
void makeRoom(int64_t needed, int keptClass, ZelPacket*& released) {
  auto overBound = [needed] { return pool->largeBytes + needed > PACKET_LARGE_CACHE_BYTES; };
  for (int index = kClassCount - 1; index >= 0 && overBound(); --index) {
    if (index == keptClass) continue;
    SizeClass& sizeClass = pool->classes[index];
    while (sizeClass.fewestSinceRelease > 0 && overBound()) {
      ZelPacket* packet = sizeClass.blocks;
      sizeClass.blocks = packet->pNext;
      --sizeClass.count;
      --sizeClass.fewestSinceRelease;
      pool->largeBytes -= static_cast<int64_t>(classBytes(index));
      packet->pNext = released;
      released = packet;
    }
  }
}

// Keeps a freed block for reuse when its cache has room (made, in the size
// classes, from blocks that stood unused); false when it belongs to the
// heap. Counts it no longer live either way. Blocks given up for the room
// go onto `released`.
bool keepCached(ZelPacket* packet, ZelPacket*& released) {
  const Placement placement = placementOf(static_cast<std::size_t>(packet->capacity()));
  PoolGuard guard(pool->lock);
  --pool->liveCount;
  if (placement.minimum) {
    if (pool->cachedCount >= PACKET_CACHE_MAX) return false;
    packet->pNext = pool->cache;
    pool->cache = packet;
    ++pool->cachedCount;
    return true;
  }
  if (placement.sizeClass < 0) return false;
  const auto bytes = static_cast<int64_t>(placement.bytes);
  makeRoom(bytes, placement.sizeClass, released);
  if (pool->largeBytes + bytes > PACKET_LARGE_CACHE_BYTES) return false;
  SizeClass& sizeClass = pool->classes[placement.sizeClass];
  packet->pNext = sizeClass.blocks;
  sizeClass.blocks = packet;
  ++sizeClass.count;
  pool->largeBytes += bytes;
  return true;
}

// The heap calls, some of them system calls, outside the lock.
void freeBlocks(ZelPacket* blocks) {
  while (blocks != nullptr) {
    ZelPacket* next = blocks->pNext;
    ::operator delete(blocks);
    blocks = next;
  }
}

}  // namespace

ZelPacket* ZelPacket::alloc(int capacity) {
  const auto payloadCapacity = static_cast<std::size_t>(std::max(capacity, PACKET_MIN_CAPACITY));
  if (payloadCapacity > kMaxCapacity) throw std::bad_alloc();
  const Placement placement = placementOf(payloadCapacity);

  ZelPacket* packet = takeCached(placement);
  if (packet == nullptr) {
    try {
      packet = static_cast<ZelPacket*>(::operator new(placement.bytes));
    } catch (...) {
      PoolGuard guard(pool->lock);
      --pool->liveCount;
      throw;
    }
  }
  packet->callback = nullptr;
  packet->pPrevLink = nullptr;
  packet->beingSent = false;
  packet->blockSize = static_cast<int32_t>(blockBytes(payloadCapacity));
  packet->payloadLength = 0;
  packet->valueTable = nullptr;
  return packet;
}

void ZelPacket::free(ZelPacket* packet) {
  if (packet == nullptr) return;
  delete packet->valueTable;
  packet->valueTable = nullptr;
  ZelPacket* released = nullptr;
  if (!keepCached(packet, released)) ::operator delete(packet);
  freeBlocks(released);
}

void ZelPacket::releaseIdleBlocks() {
  ZelPacket* released = nullptr;
  {
    PoolGuard guard(pool->lock);
    for (int index = 0; index < kClassCount; ++index) {
      SizeClass& sizeClass = pool->classes[index];
      // Unused through two passes: traffic that needs more blocks only now
      // and then keeps them.
      const int32_t unused = std::min(sizeClass.unusedBefore, sizeClass.fewestSinceRelease);
      for (int32_t n = 0; n < unused; ++n) {
        ZelPacket* packet = sizeClass.blocks;
        sizeClass.blocks = packet->pNext;
        packet->pNext = released;
        released = packet;
      }
      sizeClass.count -= unused;
      pool->largeBytes -= int64_t{unused} * static_cast<int64_t>(classBytes(index));
      sizeClass.unusedBefore = sizeClass.fewestSinceRelease - unused;
      sizeClass.fewestSinceRelease = sizeClass.count;
    }
  }
  freeBlocks(released);
}

int ZelPacket::liveCount() {
  PoolGuard guard(pool->lock);
  return pool->liveCount;
}

int ZelPacket::cachedCount() {
  PoolGuard guard(pool->lock);
  return pool->cachedCount;
}

int64_t ZelPacket::cachedLargeBytes() {
  PoolGuard guard(pool->lock);
  return pool->largeBytes;
}

}  // namespace zelkit::detail
