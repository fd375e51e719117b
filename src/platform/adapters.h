#pragma once

#include <cstdint>

// In place of GetAdaptersInfo: the host's IPv4 adapters, loopback skipped.
namespace zelkit::platform {

struct AdapterInfo {
  char name[64];
  uint8_t mac[6];
  uint32_t address;   // network order
  uint32_t netmask;   // network order
  uint32_t gateway;   // network order, 0 when the adapter has no default route
};

// Fills up to capacity adapters and returns how many there are (which may
// exceed capacity); -1 when the list cannot be read.
int listAdapters(AdapterInfo* out, int capacity);

}  // namespace zelkit::platform
