#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client/scanner/scanner_state.h"
#include "core/engine/lock.h"
#include "core/wire/exception_table.h"
#include "zelkit/exceptions.h"
#include "zelkit/scanner.h"

namespace zelkit {

namespace {

using detail::GlobalLock;
using detail::ScanDevice;

// The text of a device known only by its binary reply, between the head
// and the tail of every device description.
constexpr char DEVICE_INFO_TEMPLATE[] =
    "%sYY</deviceType><physAddress>%02x-%02x-%02x-%02x-%02x-%02x</physAddress><unitIPAddress>%s</unitIPAddress>"
    "<unitSubnetMask>%s</unitSubnetMask><unitGatewayIp>%s</unitGatewayIp>%s";

ScanDevice* publishedDevice(unsigned long ip, int index) {
  return detail::scannerState().published().deviceAt(static_cast<uint32_t>(ip), index);
}

// As much of the kept text as fits, ended by 0; the bytes written with the 0.
int copyText(const detail::ZelPacket* reply, char* buffer, int size) {
  // A size below 1 leaves no room even for the 0.
  if (size < 1) return 0;
  const int written = std::min(size, reply->payloadLength + 1);
  std::memcpy(buffer, reply->payload(), static_cast<std::size_t>(written - 1));
  buffer[written - 1] = '\0';
  return written;
}

void dottedText(const uint8_t* bytes, char (&text)[32]) {
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

// -1 when the text does not fit the buffer with its 0.
int formatDeviceInfo(const ScanDevice& device, char* buffer, int size) {
  if (size < 1) return 0;
  const uint8_t* reply = device.binaryReply->payload();
  char address[32];
  char mask[32];
  char gateway[32];
  dottedText(reply + detail::REPLY_ADDRESS, address);
  dottedText(reply + detail::REPLY_SUBNET_MASK, mask);
  dottedText(reply + detail::REPLY_GATEWAY, gateway);
  const uint8_t* mac = device.mac;
  const int length =
      std::snprintf(buffer, static_cast<std::size_t>(size), DEVICE_INFO_TEMPLATE, detail::DEVICE_XML_HEAD, mac[0],
                    mac[1], mac[2], mac[3], mac[4], mac[5], address, mask, gateway, detail::DEVICE_XML_TAIL);
  return length < 0 || length >= size ? -1 : length;
}

}  // namespace

void NetworkScanner::triggerScan(int flags, unsigned char requestByte1, unsigned char requestByte2,
                                 ZelCallback callback, void* context) {
  detail::scannerState().startScan(flags, requestByte1, requestByte2, callback, context, detail::SCAN_LENGTH_MS);
}

unsigned long const* NetworkScanner::getDeviceList() { return detail::scannerState().deviceList(); }

int NetworkScanner::getDeviceDetails(unsigned long ip, int index, types::AutoDetectResponseStruct* details) {
  GlobalLock lock;
  const ScanDevice* device = publishedDevice(ip, index);
  // Kept binary replies are whole: 32 bytes at least.
  if (device == nullptr || device->binaryReply == nullptr) return -1;
  std::memcpy(details, device->binaryReply->payload(), sizeof *details);
  return 0;
}

void NetworkScanner::getDeviceDetails(unsigned long ip, types::AutoDetectResponseStruct* details) {
  if (getDeviceDetails(ip, 0, details) == -1) throw detail::sharedException<AddressNotFoundException>();
}

int NetworkScanner::getXmlDeviceDetails(unsigned long ip, int index, char* buffer, int size) {
  GlobalLock lock;
  const ScanDevice* device = publishedDevice(ip, index);
  if (device == nullptr || device->xmlReply == nullptr) return 0;
  return copyText(device->xmlReply, buffer, size);
}

int NetworkScanner::getDeviceInfo(int index, char* buffer, int size) {
  GlobalLock lock;
  detail::DeviceTable& table = detail::scannerState().published();
  if (index < 0 || index >= table.count()) return -1;
  const ScanDevice& device = table.devices[static_cast<std::size_t>(index)];
  if (device.xmlReply != nullptr) return copyText(device.xmlReply, buffer, size);
  if (device.binaryReply != nullptr) return formatDeviceInfo(device, buffer, size);
  return 0;
}

void NetworkScanner::releaseDetailBuffers() {
  GlobalLock lock;
  detail::scannerState().published().freeReplies();
}

NetworkScanner& NetworkScanner::operator=(NetworkScanner const&) { return *this; }

}  // namespace zelkit
