#include "server/discovery/adapter_table.h"

#include <cstdio>
#include <cstring>

namespace zelkit::detail {

namespace {

uint32_t word(const uint8_t (&bytes)[4]) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

bool isEmpty(const AdapterInfo& record) { return word(record.address) == 0; }

}  // namespace

bool subnetHolds(const AdapterInfo& record, uint32_t address) {
  const uint32_t mask = word(record.subnetMask);
  return (word(record.address) & mask) == (address & mask);
}

AdapterTable::AdapterTable(AdapterLookup lookup) : lookup_(lookup) {
  std::memset(records_, 0, sizeof records_);
  lookup_(nullptr, &records_[0]);
}

const AdapterInfo& AdapterTable::choose(uint32_t requester, bool& onSubnet) {
  const AdapterInfo* chosen = &records_[0];
  for (AdapterInfo& record : records_) {
    if (isEmpty(record)) {
      // Filled once; a subnet no adapter serves leaves it empty.
      const auto* bytes = reinterpret_cast<const uint8_t*>(&requester);
      char target[16];
      std::snprintf(target, sizeof target, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
      lookup_(target, &record);
      if (!isEmpty(record)) chosen = &record;
      break;
    }
    if (subnetHolds(record, requester)) {
      chosen = &record;
      break;
    }
  }
  onSubnet = subnetHolds(*chosen, requester);
  return *chosen;
}

}  // namespace zelkit::detail
