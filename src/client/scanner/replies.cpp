#include <cstdio>
#include <cstring>

#include "client/scanner/scan_packet.h"
#include "client/scanner/scanner_state.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

void ScannerState::onReply(ScanSlot& slot, uint32_t bytes) {
  if (!scanRunning()) return;
  // Subscribers would take an empty datagram for the end of the scan.
  if (bytes == 0) {
    postReceive(slot);
    return;
  }
  const int length = static_cast<int>(bytes);
  ZelPacket* packet = newScanPacket(length);
  std::memcpy(packet->payload(), slot.buffer, bytes);
  postReceive(slot);

  const uint32_t scan = scanId_;
  int record = -1;
  BinaryReply binary;
  if (readBinaryReply(packet->payload(), length, scan, binary)) {
    bool added = false;
    record = addDevice(binary.address, binary.mac, DEFAULT_HTTP_PORT, added);
    if (!added) {
      // The same broadcast answered through two interfaces, say.
      core().log(nullptr, "scan", "Duplicate detected %08x %s", binary.address, macToText(binary.mac));
      ZelPacket::free(packet);
      return;
    }
  }

  const int flags = deliverToSubscribers(packet);
  // A notification handler that dispatches at once may have ended the scan.
  if (!scanRunning() || scanId_ != scan) {
    ZelPacket::free(packet);
    return;
  }
  if (record >= 0 && (flags & KeepBinaryReplies)) {
    current_->devices[static_cast<std::size_t>(record)].binaryReply = packet;
    return;
  }
  if (length > 0 && packet->payload()[0] == '<' && (flags & KeepXmlReplies) && length < SCAN_BUFFER_SIZE) {
    keepXmlReply(packet);
    return;
  }
  ZelPacket::free(packet);
}

int ScannerState::deliverToSubscribers(const ZelPacket* datagram) {
  int flags = 0;
  for (ScanSubscription* subscription = subscriptions_.first(); subscription != nullptr;
       subscription = deliveryCursor_) {
    deliveryCursor_ = subscription->next;
    flags |= subscription->flags;
    if ((subscription->flags & DeliverEveryReply) == 0) continue;
    ZelPacket* copy = ZelPacket::clone(datagram);
    copy->callback = subscription->callback;
    copy->context = subscription->context;
    core().deliver(0, copy, nullptr);
  }
  deliveryCursor_ = nullptr;
  return flags;
}

void ScannerState::keepXmlReply(ZelPacket* packet) {
  char text[SCAN_BUFFER_SIZE];
  const int length = packet->payloadLength;
  std::memcpy(text, packet->payload(), static_cast<std::size_t>(length));
  text[length] = '\0';
  XmlReply xml;
  if (!readXmlReply(text, xml)) {
    ZelPacket::free(packet);
    return;
  }
  bool added = false;
  const int record = addDevice(xml.address, xml.mac, xml.httpPort, added);
  if (added)
    core().log(nullptr, "scan", "First packet not received for %08x %.*s", xml.address, xml.macTextLength,
               xml.macText);
  ScanDevice& device = current_->devices[static_cast<std::size_t>(record)];
  const ZelPacket* kept = device.xmlReply;
  if (kept != nullptr && kept->payloadLength == length && std::memcmp(kept->payload(), packet->payload(), length) == 0) {
    ZelPacket::free(packet);
    return;
  }
  ZelPacket::free(device.xmlReply);
  device.xmlReply = packet;
}

int ScannerState::addDevice(uint32_t address, const uint8_t* mac, uint16_t httpPort, bool& added) {
  DeviceTable& table = *current_;
  // Addresses first: most entries differ there.
  for (int i = 0; i < table.count(); ++i) {
    if (static_cast<uint32_t>(table.addresses[static_cast<std::size_t>(i)]) != address) continue;
    const ScanDevice& device = table.devices[static_cast<std::size_t>(i)];
    if (std::memcmp(device.mac, mac, MAC_SIZE) == 0 && device.httpPort == httpPort) {
      added = false;
      return i;
    }
  }
  ScanDevice device{};
  std::memcpy(device.mac, mac, MAC_SIZE);
  device.httpPort = httpPort;
  table.addresses.push_back(address);
  table.devices.push_back(device);
  added = true;
  return table.count() - 1;
}

ScanDevice* DeviceTable::deviceAt(uint32_t address, int index) {
  int seen = 0;
  for (int i = 0; i < count(); ++i) {
    if (static_cast<uint32_t>(addresses[static_cast<std::size_t>(i)]) != address) continue;
    if (seen++ == index) return &devices[static_cast<std::size_t>(i)];
  }
  return nullptr;
}

void DeviceTable::freeReplies() {
  for (ScanDevice& device : devices) {
    ZelPacket::free(device.binaryReply);
    ZelPacket::free(device.xmlReply);
    device.binaryReply = nullptr;
    device.xmlReply = nullptr;
  }
}

const char* macToText(const uint8_t* mac) {
  static char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

}  // namespace zelkit::detail
