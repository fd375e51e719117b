#include "server/discovery/discovery_responder.h"

#include <utility>

#include "core/engine/core.h"
#include "platform/thread.h"

namespace zelkit::detail {

DiscoveryResponder& discoveryResponder() {
  // Never destroyed: the thread may still run while static destructors do.
  static DiscoveryResponder* const instance = new DiscoveryResponder();
  return *instance;
}

void DiscoveryResponder::configure(uint16_t port, std::u16string name, uint32_t identityA, uint32_t identityB) {
  CriticalSectionLock lock(&lock_);
  settings_.port = port;
  settings_.device.name = std::move(name);
  settings_.device.identityA = identityA;
  settings_.device.identityB = identityB;
  // A second thread would answer every request twice.
  if (running_) return;
  running_ = true;
  if (!platform::startThread(threadEntry, this)) {
    running_ = false;
    core().log(nullptr, "disc", "Cannot start the discovery responder");
  }
}

void DiscoveryResponder::setCallback(DiscoveryResponseCallback callback, void* context) {
  CriticalSectionLock lock(&lock_);
  settings_.callback = callback;
  settings_.context = context;
}

void DiscoveryResponder::setAdapterLookup(AdapterLookup lookup) {
  CriticalSectionLock lock(&lock_);
  adapterLookup_ = lookup;
}

DiscoverySettings DiscoveryResponder::settings() {
  CriticalSectionLock lock(&lock_);
  return settings_;
}

uint16_t DiscoveryResponder::groupPort() {
  CriticalSectionLock lock(&lock_);
  return settings_.port;
}

AdapterLookup DiscoveryResponder::adapterLookup() {
  CriticalSectionLock lock(&lock_);
  return adapterLookup_;
}

void DiscoveryResponder::threadEntry(void* responder) {
  auto* self = static_cast<DiscoveryResponder*>(responder);
  self->run();
  CriticalSectionLock lock(&self->lock_);
  self->running_ = false;
}

}  // namespace zelkit::detail
