#include <string>
#include <utility>

#include "client/scanner/discovery_format.h"
#include "core/wire/utf16.h"
#include "server/discovery/discovery_responder.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

int configureResponder(unsigned short port, std::u16string name, unsigned long identityA, unsigned long identityB) {
  // The identity words are 32 bits on the wire, whatever the width of long.
  detail::discoveryResponder().configure(port == 0 ? detail::MULTICAST_DISCOVERY_PORT : port, std::move(name),
                                         static_cast<uint32_t>(identityA), static_cast<uint32_t>(identityB));
  return 0;
}

}  // namespace

int ZelServer::initDiscoveryPort(unsigned short port, wchar_t const* name, unsigned long identityA,
                                 unsigned long identityB) {
  std::u16string units;
  for (const wchar_t* character = name; character != nullptr && *character != 0; ++character) {
    uint16_t pair[2];
    const int count = detail::utf16::split(static_cast<uint32_t>(*character), pair);
    units.append(pair, pair + count);
  }
  return configureResponder(port, std::move(units), identityA, identityB);
}

int ZelServer::initDiscoveryPort(unsigned short port, unsigned short const* name, unsigned long identityA,
                                 unsigned long identityB) {
  std::u16string units;
  for (const unsigned short* unit = name; unit != nullptr && *unit != 0; ++unit)
    units.push_back(static_cast<char16_t>(*unit));
  return configureResponder(port, std::move(units), identityA, identityB);
}

void ZelServer::registerDiscoveryResponseCallback(DiscoveryResponseCallback callback, void* context) {
  detail::discoveryResponder().setCallback(callback, context);
}

}  // namespace zelkit
