#pragma once

#include <cstdint>

#include "client/scanner/adapter_info.h"

namespace zelkit::detail {

// How the table learns an adapter record: getAdapterInfo, or a stand-in.
using AdapterLookup = int (*)(const char* target, AdapterInfo* record);

// Whether the record's subnet (address AND mask) holds the address
// (network order).
bool subnetHolds(const AdapterInfo& record, uint32_t address);

// The responder's adapter records: the first adapter at the start, the
// adapters on the subnets of requesters looked up as they ask.
class AdapterTable {
 public:
  static constexpr int SIZE = 8;

  explicit AdapterTable(AdapterLookup lookup);

  // The record on the requester's subnet; record 0 when no record is, and
  // the eight are taken or no adapter serves the subnet. onSubnet tells
  // whether the record's subnet holds the requester.
  const AdapterInfo& choose(uint32_t requester, bool& onSubnet);

 private:
  AdapterLookup lookup_;
  AdapterInfo records_[SIZE];
};

}  // namespace zelkit::detail
