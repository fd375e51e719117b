#pragma once

/// \file
/// Device discovery and commands to devices by MAC address.

#include <cstdint>

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

/// Plain data types of the interface.
namespace types {

/// A device's binary discovery reply, 32 bytes as received. Addresses are in
/// network order.
struct AutoDetectResponseStruct {
  uint8_t magic[4];    ///< 99 39 A4 27.
  uint8_t scanId[4];   ///< The scan's id, echoed.
  uint8_t mac[6];      ///< The MAC address of the device's adapter.
  uint8_t replyKind;   ///< 3.
  uint8_t deviceType;  ///< The device type; a high nibble of 0xF: reserved[3] holds a second type byte.
  uint32_t ipAddress;  ///< The device's IPv4 address.
  uint32_t subnetMask;  ///< Its subnet mask.
  uint32_t gateway;     ///< Its gateway.
  uint8_t reserved[4];  ///< Zero, but for the second type byte.
};
static_assert(sizeof(AutoDetectResponseStruct) == 32, "the reply is 32 bytes on the wire");

}  // namespace types

/// Finds devices on the local network, and reaches devices by MAC address
/// before they have a usable IP configuration. Static members only; any
/// thread may call them.
///
/// A scan sends one request by UDP broadcast to port 1757 (or to the group
/// 225.87.77.88, port 1800), collects the devices' replies for 2.2 seconds
/// and then publishes the result, which the readers below return until the
/// next scan ends. A result that differs from the one before is announced as
/// the message 0x00200020 to the message callbacks of a client of the URL
/// "127.1.1.1", the library's system connection (which exists while logging
/// is on, System::setLoggingDirectory).
class ZELKIT_API NetworkScanner {
 public:
  /// Bits of triggerScan's flags.
  enum ScanFlags {
    ScanDeliverReplies = 1,  ///< Every datagram received goes to this subscriber at once.
    ScanKeepBinary = 2,      ///< Keep binary replies for getDeviceDetails and getDeviceInfo.
    ScanKeepXml = 4,         ///< Keep XML replies for getXmlDeviceDetails and getDeviceInfo.
    ScanMulticast = 8,       ///< Ask the multicast group instead of broadcasting.
  };

  /// Starts a scan of 2200 ms, or joins the running one. The callback runs
  /// on the worker thread (or through System::dispatchCallback): with an
  /// empty stream at the end of the scan and, with ScanDeliverReplies, with
  /// each datagram as its payload before that. Multicast and the request
  /// bytes act only for the trigger that starts a scan.
  /// \param flags ScanFlags bits.
  /// \param requestByte1 Carried by the request to the devices.
  /// \param requestByte2 Carried by the request to the devices.
  /// \param callback The subscriber.
  /// \param context Given to the callback.
  static void triggerScan(int flags, unsigned char requestByte1, unsigned char requestByte2, ZelCallback callback,
                          void* context);

  /// \return The IPv4 addresses (network order) of the last completed scan,
  ///         sorted and ended by 0 (two devices may share one). Valid until
  ///         the next scan ends.
  static unsigned long const* getDeviceList();
  /// Copies the binary reply of a device of the last scan.
  /// \param ip The device's address, network order.
  /// \param index Which of the devices with this address (0 the first).
  /// \param[out] details The reply.
  /// \return 0, or -1 when no such reply was kept.
  static int getDeviceDetails(unsigned long ip, int index, types::AutoDetectResponseStruct* details);
  /// Copies the binary reply of the first device with this address.
  /// \param ip The device's address, network order.
  /// \param[out] details The reply.
  /// \throws AddressNotFoundException* when no such reply was kept.
  static void getDeviceDetails(unsigned long ip, types::AutoDetectResponseStruct* details);
  /// Copies the XML reply of a device of the last scan, cut to fit and
  /// ended by 0.
  /// \param ip The device's address, network order.
  /// \param index Which of the devices with this address (0 the first).
  /// \param[out] buffer Room for size bytes.
  /// \param size At least 1.
  /// \return The bytes written with the 0, or 0 when no such reply was kept.
  static int getXmlDeviceDetails(unsigned long ip, int index, char* buffer, int size);
  /// Describes a device of the last scan as XML: its own XML reply, or a
  /// text made from its binary reply.
  /// \param index The device's place among the devices found.
  /// \param[out] buffer Room for size bytes.
  /// \param size The buffer's size.
  /// \return The bytes written with the 0 for an XML reply, the text's
  ///         length for one made (-1 when it does not fit); 0 when neither
  ///         reply was kept; -1 for an index out of range.
  static int getDeviceInfo(int index, char* buffer, int size);
  /// Frees every kept reply of the last scan; the readers then find none.
  static void releaseDetailBuffers();

  /// Broadcasts (UDP port 1759) a new address, mask and gateway for the
  /// device with this MAC. Failures are only logged.
  /// \param mac The device's 6-byte MAC address.
  /// \param ip The new address, network order.
  /// \param mask The new subnet mask, network order.
  /// \param gateway The new gateway, network order.
  static void setIpAddress(unsigned char const* mac, unsigned long ip, unsigned long mask, unsigned long gateway);
  /// Broadcasts (UDP port 1760) a short command to the device with this MAC.
  /// Failures are only logged.
  /// \param mac The device's 6-byte MAC address.
  /// \param command The command.
  /// \param payload Up to 1496 bytes; a longer payload is refused (nothing is sent).
  static void setCommand(unsigned char const* mac, unsigned short command, ZelOutputStream& payload);
  /// Broadcasts (UDP port 1757) a request to the device with this MAC; its
  /// reply, or the time-out, goes to the callback like any reply.
  /// \param timeoutMs Time for the reply, used as given (0 is not replaced by the default).
  /// \param mac The device's 6-byte MAC address.
  /// \param commandWord The command word.
  /// \param sessionId The request's session id.
  /// \param num The request's num.
  /// \param payload The payload.
  /// \param callback Gets the reply, or the failure in ZelHeader::errorCode (see ZelCallback).
  /// \param context Given to the callback.
  /// \return The request's sequence number (its low byte is the transaction id).
  static int sendRequest(int timeoutMs, unsigned char const* mac, unsigned long commandWord, unsigned long sessionId,
                         unsigned short num, ZelOutputStream& payload, ZelCallback callback, void* context);
  /// The same without payload.
  /// \param timeoutMs Time for the reply, used as given (0 is not replaced by the default).
  /// \param mac The device's 6-byte MAC address.
  /// \param commandWord The command word.
  /// \param sessionId The request's session id.
  /// \param num The request's num.
  /// \param callback Gets the reply, or the failure in ZelHeader::errorCode (see ZelCallback).
  /// \param context Given to the callback.
  /// \return The request's sequence number (its low byte is the transaction id).
  static int sendRequest(int timeoutMs, unsigned char const* mac, unsigned long commandWord, unsigned long sessionId,
                         unsigned short num, ZelCallback callback, void* context);

  /// The class has no data.
  /// \param other Not read.
  /// \return This object.
  NetworkScanner& operator=(NetworkScanner const& other);
};

}  // namespace zelkit
