#include "server/discovery/device_xml.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "client/scanner/discovery_format.h"
#include "server/discovery/xml_text.h"

namespace zelkit::detail {

namespace {

// Beside the name, the fields take a few hundred bytes at most.
constexpr int HEAD_SIZE = 160;
constexpr int REST_SIZE = 512;

}  // namespace

int formatDeviceXml(const DeviceDescription& device, const AdapterInfo& adapter, char (&buffer)[DEVICE_XML_SIZE]) {
  char head[HEAD_SIZE];
  const int headLength = std::snprintf(head, sizeof head, "%s%02d</deviceType><friendlyName>", DEVICE_XML_HEAD,
                                       static_cast<int>(device.identityA >> 24));
  char rest[REST_SIZE];
  const int restLength = std::snprintf(
      rest, sizeof rest,
      "</friendlyName><serialNumber>%08" PRIx32 ":%08" PRIx32 "</serialNumber><physAddress>%.*s</physAddress>"
      "<unitIPAddress>%.*s</unitIPAddress><unitSubnetMask>%.*s</unitSubnetMask><unitGatewayIp>%.*s</unitGatewayIp>"
      "<ZELPort>%d</ZELPort><HTTPPort>%d</HTTPPort><HTTPSPort>%d</HTTPSPort>%s",
      device.identityA, device.identityB, static_cast<int>(sizeof adapter.macText), adapter.macText,
      static_cast<int>(sizeof adapter.addressText), adapter.addressText,
      static_cast<int>(sizeof adapter.subnetMaskText), adapter.subnetMaskText,
      static_cast<int>(sizeof adapter.gatewayText), adapter.gatewayText, device.ports[0], device.ports[1],
      device.ports[2], DEVICE_XML_TAIL);
  static_assert(HEAD_SIZE + REST_SIZE < DEVICE_XML_SIZE, "the fields leave room for the name");

  std::memcpy(buffer, head, static_cast<std::size_t>(headLength));
  int length = headLength;
  length += writeXmlText(device.name, buffer + length, DEVICE_XML_SIZE - 1 - headLength - restLength);
  std::memcpy(buffer + length, rest, static_cast<std::size_t>(restLength));
  length += restLength;
  buffer[length] = '\0';
  return length;
}

}  // namespace zelkit::detail
