#pragma once

#include <cstdint>
#include <string>

#include "client/scanner/adapter_info.h"

namespace zelkit::detail {

// The XML answer goes out in one datagram of at most this many bytes.
constexpr int DEVICE_XML_SIZE = 1500;

// What the XML description tells besides the adapter.
struct DeviceDescription {
  std::u16string name;
  uint32_t identityA;  // top byte: the device type
  uint32_t identityB;
  uint16_t ports[3];   // Zel, HTTP and HTTPS listener; 0 when not bound
};

// Writes the description of the device on the adapter, ended by 0. The name
// is cut, at a whole character, where the text would not fit. Returns the
// text's length.
int formatDeviceXml(const DeviceDescription& device, const AdapterInfo& adapter, char (&buffer)[DEVICE_XML_SIZE]);

}  // namespace zelkit::detail
