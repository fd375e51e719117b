// The IPv4 adapters from getifaddrs, their hardware addresses from the
// packet-family entries and their default gateways from the routing table.
#include "platform/adapters.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

namespace zelkit::platform {

namespace {

constexpr unsigned RouteUp = 0x1;
constexpr unsigned RouteGateway = 0x2;

// The device name without an address label ("eth0:1" is on "eth0").
void deviceName(const char* name, char (&out)[IFNAMSIZ]) {
  std::snprintf(out, sizeof out, "%s", name);
  if (char* colon = std::strchr(out, ':')) *colon = '\0';
}

// The gateway of the device's default route, network order; 0 when none.
// /proc/net/route prints addresses as the hex of their in-memory words.
uint32_t defaultGateway(const char* device) {
  FILE* routes = std::fopen("/proc/net/route", "r");
  if (routes == nullptr) return 0;
  char line[256];
  uint32_t gateway = 0;
  bool titles = true;  // the first line names the columns
  while (gateway == 0 && std::fgets(line, sizeof line, routes) != nullptr) {
    if (titles) {
      titles = false;
      continue;
    }
    char name[IFNAMSIZ + 1];
    unsigned destination, via, flags, refs, use, metric, mask;
    if (std::sscanf(line, "%16s %x %x %x %u %u %u %x", name, &destination, &via, &flags, &refs, &use, &metric,
                    &mask) != 8)
      continue;
    const bool isDefault = destination == 0 && mask == 0 && (flags & (RouteUp | RouteGateway)) == (RouteUp | RouteGateway);
    if (isDefault && std::strcmp(name, device) == 0) gateway = via;
  }
  std::fclose(routes);
  return gateway;
}

void fillHardwareAddress(const ifaddrs* all, const char* device, uint8_t (&mac)[6]) {
  std::memset(mac, 0, sizeof mac);
  for (const ifaddrs* entry = all; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) continue;
    if (std::strcmp(entry->ifa_name, device) != 0) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
    if (link->sll_halen >= sizeof mac) std::memcpy(mac, link->sll_addr, sizeof mac);
    return;
  }
}

}  // namespace

int listAdapters(AdapterInfo* out, int capacity) {
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return -1;
  int count = 0;
  for (const ifaddrs* entry = all; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    if (count < capacity) {
      AdapterInfo& adapter = out[count];
      std::memset(&adapter, 0, sizeof adapter);
      std::snprintf(adapter.name, sizeof adapter.name, "%s", entry->ifa_name);
      adapter.address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
      if (entry->ifa_netmask != nullptr)
        adapter.netmask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr;
      char device[IFNAMSIZ];
      deviceName(entry->ifa_name, device);
      fillHardwareAddress(all, device, adapter.mac);
      adapter.gateway = defaultGateway(device);
    }
    ++count;
  }
  freeifaddrs(all);
  return count;
}

}  // namespace zelkit::platform
