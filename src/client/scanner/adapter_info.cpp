#include "client/scanner/adapter_info.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/adapters.h"
#include "platform/socket.h"

namespace zelkit::detail {

namespace {

void dottedText(uint32_t address, char (&text)[16]) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

void setDefaults(AdapterInfo& record) {
  std::memset(&record, 0, sizeof record);
  std::snprintf(record.macText, sizeof record.macText, "0-0-0-0-0-0");
  std::snprintf(record.addressText, sizeof record.addressText, "0.0.0.0");
  std::snprintf(record.subnetMaskText, sizeof record.subnetMaskText, "0.0.0.0");
  std::snprintf(record.gatewayText, sizeof record.gatewayText, "0.0.0.0");
}

void take(const platform::AdapterInfo& adapter, AdapterInfo& record) {
  std::memcpy(record.mac, adapter.mac, sizeof record.mac);
  std::snprintf(record.macText, sizeof record.macText, "%02x-%02x-%02x-%02x-%02x-%02x", adapter.mac[0],
                adapter.mac[1], adapter.mac[2], adapter.mac[3], adapter.mac[4], adapter.mac[5]);
  std::memcpy(record.address, &adapter.address, sizeof record.address);
  std::memcpy(record.subnetMask, &adapter.netmask, sizeof record.subnetMask);
  std::memcpy(record.gateway, &adapter.gateway, sizeof record.gateway);
  dottedText(adapter.address, record.addressText);
  dottedText(adapter.netmask, record.subnetMaskText);
  dottedText(adapter.gateway, record.gatewayText);
}

}  // namespace

int getAdapterInfo(const char* target, AdapterInfo* record) {
  if (record == nullptr) return 0;
  setDefaults(*record);
  std::vector<platform::AdapterInfo> adapters(8);
  int count = platform::listAdapters(adapters.data(), static_cast<int>(adapters.size()));
  if (count > static_cast<int>(adapters.size())) {
    adapters.resize(static_cast<std::size_t>(count));
    count = platform::listAdapters(adapters.data(), count);
  }
  if (count <= 0) return 0;
  const uint32_t targetAddress = target != nullptr ? platform::inetAddr(target) : 0;
  for (int i = 0; i < count && i < static_cast<int>(adapters.size()); ++i) {
    const platform::AdapterInfo& adapter = adapters[static_cast<std::size_t>(i)];
    if (target != nullptr && (adapter.address & adapter.netmask) != (targetAddress & adapter.netmask)) continue;
    take(adapter, *record);
    return 1;
  }
  return 0;
}

}  // namespace zelkit::detail
