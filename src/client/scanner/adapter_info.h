#pragma once

#include <cstdint>

namespace zelkit::detail {

// The local adapter address chosen for a peer: bytes in network order and
// their texts.
struct AdapterInfo {
  uint8_t mac[6];
  uint8_t address[4];
  uint8_t subnetMask[4];
  uint8_t gateway[4];
  char macText[18];
  char addressText[16];
  char subnetMaskText[16];
  char gatewayText[16];
};

// Fills the record with the first adapter address on the target's subnet
// (the first address of all without a target) and returns 1; returns 0 and
// leaves the defaults (zeros, "0.0.0.0", "0-0-0-0-0-0") when none matches.
int getAdapterInfo(const char* target, AdapterInfo* record);

}  // namespace zelkit::detail
