#include "core/connection/accepted_client_ids.h"

#include <bit>

namespace zelkit::detail {

namespace {

constexpr uint32_t ID_COUNT = 0x10000;
constexpr uint32_t WORD_BITS = 64;

// One bit per id; id 0 stays set, so it is never given.
uint64_t held[ID_COUNT / WORD_BITS] = {1};
uint32_t heldCount = 1;
uint16_t lastGiven = 0;

bool isHeld(uint16_t id) { return (held[id / WORD_BITS] >> (id % WORD_BITS) & 1) != 0; }

}  // namespace

bool acceptedClientIdLeft() { return heldCount < ID_COUNT; }

uint16_t takeAcceptedClientId() {
  if (!acceptedClientIdLeft()) return 0;
  uint32_t id = (lastGiven + 1u) % ID_COUNT;
  // Word by word, so that long runs of held ids are passed quickly.
  for (;;) {
    const uint64_t freeFromId = ~held[id / WORD_BITS] >> (id % WORD_BITS);
    if (freeFromId != 0) {
      id += static_cast<uint32_t>(std::countr_zero(freeFromId));
      break;
    }
    id = (id / WORD_BITS + 1) * WORD_BITS % ID_COUNT;
  }
  held[id / WORD_BITS] |= uint64_t{1} << (id % WORD_BITS);
  ++heldCount;
  lastGiven = static_cast<uint16_t>(id);
  return lastGiven;
}

void releaseAcceptedClientId(uint16_t id) {
  if (id == 0 || !isHeld(id)) return;
  held[id / WORD_BITS] &= ~(uint64_t{1} << (id % WORD_BITS));
  --heldCount;
}

void setLastAcceptedClientId(uint16_t id) { lastGiven = id; }

uint32_t acceptedClientIdsInUse() { return heldCount - 1; }

}  // namespace zelkit::detail
