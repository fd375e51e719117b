#pragma once

#include <cstdint>
#include <string>

#include "core/engine/lock.h"
#include "platform/socket.h"
#include "server/discovery/adapter_table.h"
#include "server/discovery/device_xml.h"
#include "zelkit/server.h"

namespace zelkit::detail {

struct DiscoverySettings {
  uint16_t port;               // of the discovery group
  DeviceDescription device;    // its ports are filled in per answer
  DiscoveryResponseCallback callback;
  void* context;
};

// The server's discovery responder: one thread, started by the first
// configuration, answering scan requests until the library terminates.
// Later configurations change what it answers and where it listens.
class DiscoveryResponder {
 public:
  DiscoveryResponder() = default;
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  void configure(uint16_t port, std::u16string name, uint32_t identityA, uint32_t identityB);
  void setCallback(DiscoveryResponseCallback callback, void* context);
  // Where the adapter records come from (the host's adapters unless a
  // test stands in for them); read when the thread starts.
  void setAdapterLookup(AdapterLookup lookup);

 private:
  static void threadEntry(void* responder);
  void run();
  void answer(platform::Socket replySocket, const uint8_t* datagram, int length, const sockaddr_in& from,
              AdapterTable& adapters);
  DiscoverySettings settings();
  uint16_t groupPort();
  AdapterLookup adapterLookup();

  CriticalSection lock_;  // guards the members below
  DiscoverySettings settings_{};
  AdapterLookup adapterLookup_ = getAdapterInfo;
  bool running_ = false;
};

// The process's responder; never destroyed.
DiscoveryResponder& discoveryResponder();

}  // namespace zelkit::detail
