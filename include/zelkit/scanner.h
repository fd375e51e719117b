#pragma once

#include <cstdint>

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

namespace types {

// A device's binary discovery reply, 32 bytes as received. Addresses are in
// network order.
struct AutoDetectResponseStruct {
  uint8_t magic[4];  // 99 39 A4 27
  uint8_t scanId[4];
  uint8_t mac[6];
  uint8_t replyKind;   // 3
  uint8_t deviceType;  // a high nibble of 0xF: reserved[3] holds a second type byte
  uint32_t ipAddress;
  uint32_t subnetMask;
  uint32_t gateway;
  uint8_t reserved[4];
};
static_assert(sizeof(AutoDetectResponseStruct) == 32, "the reply is 32 bytes on the wire");

}  // namespace types

// Finds devices on the local network, and reaches devices by MAC address
// before they have a usable IP configuration. Static members only.
class ZELKIT_API NetworkScanner {
 public:
  // Bits of triggerScan's flags.
  enum ScanFlags {
    ScanDeliverReplies = 1,  // every datagram received goes to this subscriber at once
    ScanKeepBinary = 2,      // keep binary replies for getDeviceDetails and getDeviceInfo
    ScanKeepXml = 4,         // keep XML replies for getXmlDeviceDetails and getDeviceInfo
    ScanMulticast = 8,       // ask the multicast group instead of broadcasting
  };

  // Starts a scan of 2200 ms, or joins the running one. The callback gets
  // an empty stream at the end of the scan (and, with ScanDeliverReplies,
  // each datagram as its payload before that). Multicast and the request
  // bytes act only for the trigger that starts a scan.
  static void triggerScan(int flags, unsigned char requestByte1, unsigned char requestByte2, ZelCallback callback,
                          void* context);

  // The IPv4 addresses (network order) of the last completed scan, sorted,
  // ended by 0. Valid until the next scan ends.
  static unsigned long const* getDeviceList();
  // The binary reply of the index-th device with this address; -1 when none.
  static int getDeviceDetails(unsigned long ip, int index, types::AutoDetectResponseStruct* details);
  // The same for index 0; throws AddressNotFoundException* when there is none.
  static void getDeviceDetails(unsigned long ip, types::AutoDetectResponseStruct* details);
  // The XML reply of the index-th device with this address, cut to fit and
  // ended by 0; returns the bytes written with the 0, or 0 when there is none.
  static int getXmlDeviceDetails(unsigned long ip, int index, char* buffer, int size);
  // The index-th device of the last scan as XML: its own XML reply, or a
  // text made from its binary reply (-1 when that does not fit); 0 when
  // neither was kept, -1 for an index out of range.
  static int getDeviceInfo(int index, char* buffer, int size);
  // Frees every kept reply of the last scan.
  static void releaseDetailBuffers();

  // Broadcasts a new address, mask and gateway (network order) for the
  // device with this MAC.
  static void setIpAddress(unsigned char const* mac, unsigned long ip, unsigned long mask, unsigned long gateway);
  // Broadcasts a short command; a payload above 1496 bytes is refused.
  static void setCommand(unsigned char const* mac, unsigned short command, ZelOutputStream& payload);
  // Broadcasts a request to the device with this MAC; its reply or time-out
  // goes to the callback like any reply. Returns the request's sequence number.
  static int sendRequest(int timeoutMs, unsigned char const* mac, unsigned long commandWord, unsigned long sessionId,
                         unsigned short num, ZelOutputStream& payload, ZelCallback callback, void* context);
  static int sendRequest(int timeoutMs, unsigned char const* mac, unsigned long commandWord, unsigned long sessionId,
                         unsigned short num, ZelCallback callback, void* context);

  NetworkScanner& operator=(NetworkScanner const& other);
};

}  // namespace zelkit
