#pragma once

#include <cstddef>
#include <cstdint>

#include "zelkit/scanner.h"

// The discovery wire formats, spoken by the network scanner and answered by
// the server's responder.
namespace zelkit::detail {

constexpr uint32_t SCAN_MAGIC = 0x9939A427;
constexpr uint16_t DISCOVERY_PORT = 1757;
constexpr uint16_t MULTICAST_DISCOVERY_PORT = 1800;
constexpr char MULTICAST_GROUP[] = "225.87.77.88";
constexpr uint32_t BROADCAST_ADDRESS = 0xFFFFFFFF;
constexpr uint16_t DEFAULT_HTTP_PORT = 80;
constexpr int MAC_SIZE = 6;

// Scan request: magic, scan id, two bytes for the device's application and
// the port to answer at (network order).
constexpr int SCAN_REQUEST_SIZE = 12;
constexpr int REQUEST_SCAN_ID = 4;
constexpr int REQUEST_BYTE_1 = 8;
constexpr int REQUEST_BYTE_2 = 9;
constexpr int REQUEST_REPLY_PORT = 10;

// Binary reply: the layout of types::AutoDetectResponseStruct.
constexpr int BINARY_REPLY_SIZE = 32;
constexpr uint8_t BINARY_REPLY_KIND = 3;
constexpr int REPLY_SCAN_ID = offsetof(types::AutoDetectResponseStruct, scanId);
constexpr int REPLY_MAC = offsetof(types::AutoDetectResponseStruct, mac);
constexpr int REPLY_ADDRESS = offsetof(types::AutoDetectResponseStruct, ipAddress);
constexpr int REPLY_SUBNET_MASK = offsetof(types::AutoDetectResponseStruct, subnetMask);
constexpr int REPLY_GATEWAY = offsetof(types::AutoDetectResponseStruct, gateway);
static_assert(sizeof(types::AutoDetectResponseStruct) == BINARY_REPLY_SIZE);

// The XML device description starts and ends alike whoever writes it; the
// device type number follows the head.
constexpr char DEVICE_XML_HEAD[] =
    "<?xml version=\"1.0\"?><root xmlns=\"OEMExtXX:device-1-0\"><device><deviceType>OEMExtXX:device:deviceID";
constexpr char DEVICE_XML_TAIL[] = "</device></root>";

}  // namespace zelkit::detail
