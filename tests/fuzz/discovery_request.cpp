// The responder's reading of a scan request and what it builds from one:
// the binary reply echoing the request, and the XML text with a name of any
// UTF-16 units. Input: the datagram's length (first byte, modulo 40), the
// datagram, then the name's units.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "server/discovery/binary_reply.h"
#include "server/discovery/device_xml.h"
#include "server/discovery/discovery_request.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

int count(const char* text, int length, char wanted) { return static_cast<int>(std::count(text, text + length, wanted)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelkit::detail;
  if (size < 1) return 0;
  const int length = static_cast<int>(std::min<size_t>(data[0] % 40, size - 1));
  const uint8_t* datagram = data + 1;
  DiscoveryRequest request;
  if (!readDiscoveryRequest(datagram, length, request)) return 0;
  require(length >= 12 && length <= MAX_DISCOVERY_REQUEST);

  AdapterInfo adapter{};
  std::memcpy(adapter.address, datagram + 4, 4);
  const uint32_t identityA = static_cast<uint32_t>(datagram[8]) << 24 | static_cast<uint32_t>(datagram[9]) << 8;
  const auto reply = makeBinaryReply(request, adapter, identityA);
  require(std::memcmp(&reply, datagram, 8) == 0);

  std::u16string name;
  for (size_t at = 1 + static_cast<size_t>(length); at + 1 < size; at += 2)
    name.push_back(static_cast<char16_t>(data[at] | data[at + 1] << 8));
  DeviceDescription device{name, identityA, 0, {0, 0, 0}};
  char xml[DEVICE_XML_SIZE];
  const int xmlLength = formatDeviceXml(device, adapter, xml);
  require(xmlLength > 0 && xmlLength < DEVICE_XML_SIZE && xml[xmlLength] == '\0');
  require(std::strlen(xml) == static_cast<size_t>(xmlLength));
  // The name adds no markup.
  device.name.clear();
  char bare[DEVICE_XML_SIZE];
  const int bareLength = formatDeviceXml(device, adapter, bare);
  require(count(xml, xmlLength, '<') == count(bare, bareLength, '<'));
  require(count(xml, xmlLength, '>') == count(bare, bareLength, '>'));
  return 0;
}
