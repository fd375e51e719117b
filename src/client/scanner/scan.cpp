#include <algorithm>
#include <cstddef>
#include <cstring>
#include <numeric>

#include "client/scanner/scan_packet.h"
#include "client/scanner/scanner_state.h"
#include "core/engine/lock.h"
#include "core/wire/conversions.h"
#include "platform/completion_port.h"
#include "platform/errors.h"

namespace zelkit::detail {

namespace {

sockaddr_in ipv4Destination(uint32_t address, uint16_t port) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = address;
  destination.sin_port = htons(port);
  return destination;
}

}  // namespace

ScannerState& scannerState() {
  // Never destroyed: a completion may still arrive while static destructors run.
  static ScannerState* const instance = new ScannerState();
  return *instance;
}

ScannerState::ScannerState() : published_(new DeviceTable()) {
  published_->addresses.push_back(0);
  publishedList_.store(published_->addresses.data(), std::memory_order_release);
  for (ScanSlot& slot : slots_) {
    slot.operation = {};
    slot.operation.mode = ScanReceive;
    slot.inFlight = false;
    slot.scanId = 0;
  }
}

void ScannerState::startScan(int flags, uint8_t requestByte1, uint8_t requestByte2, ZelCallback callback,
                             void* context, uint32_t lengthMs) {
  Core& engine = core();
  engine.ensureInitialized();
  GlobalLock lock;
  auto* subscription = new ScanSubscription();
  subscription->callback = callback;
  subscription->context = context;
  subscription->flags = flags;
  // A counter, so the id differs from the previous scan's.
  subscription->scanId = scanRunning() ? scanId_ : scanId_ + 1;
  subscriptions_.append(subscription);
  if (scanRunning()) return;

  scanId_ = subscription->scanId;
  engine.setTimer(lengthMs, 0, onScanTimer, this, nullptr);
  current_ = new DeviceTable();
  current_->addresses.reserve(DEVICE_TABLE_START);
  current_->devices.reserve(DEVICE_TABLE_START);
  engine.setScanCompletionHandler(onCompletion);

  sockaddr_in destination{};
  uint16_t replyPort = 0;
  const platform::Socket socket = openScanSocket(flags, destination, replyPort);
  // Without a socket the timer still ends the scan, with an empty result.
  if (socket < 0) return;
  socket_ = socket;
  sendRequest(destination, requestByte1, requestByte2, replyPort);
  engine.startWorker(false);
  platform::associateSocket(engine.port(), socket_, 0);
  for (ScanSlot& slot : slots_) postReceive(slot);
}

platform::Socket ScannerState::openScanSocket(int flags, sockaddr_in& destination, uint16_t& replyPort) {
  Core& engine = core();
  const platform::Socket socket = engine.getUdpSocket(AF_INET, htons(SCAN_REPLY_PORT), &replyPort, false);
  if (socket < 0) return socket;
  if (flags & UseMulticast) {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = platform::inetAddr(MULTICAST_GROUP);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (platform::setSocketOption(socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
      engine.log(nullptr, "scan", "IP_ADD_MEMBERSHIP error %d", static_cast<int>(platform::lastError()));
    if (setSocketFlag(socket, IPPROTO_IP, IP_MULTICAST_TTL, MULTICAST_TTL) != 0)
      engine.log(nullptr, "scan", "Error %d setting IP_MULTICAST_TTL", static_cast<int>(platform::lastError()));
    destination = ipv4Destination(platform::inetAddr(MULTICAST_GROUP), MULTICAST_DISCOVERY_PORT);
  } else {
    if (setSocketFlag(socket, SOL_SOCKET, SO_BROADCAST, 1) != 0)
      engine.log(nullptr, "scan", "SO_BROADCAST error %d", static_cast<int>(platform::lastError()));
    destination = ipv4Destination(BROADCAST_ADDRESS, DISCOVERY_PORT);
  }
  return socket;
}

void ScannerState::sendRequest(const sockaddr_in& destination, uint8_t requestByte1, uint8_t requestByte2,
                               uint16_t replyPort) {
  uint8_t request[SCAN_REQUEST_SIZE];
  writeBE32(request, SCAN_MAGIC);
  writeBE32(request + REQUEST_SCAN_ID, scanId_);
  request[REQUEST_BYTE_1] = requestByte1;
  request[REQUEST_BYTE_2] = requestByte2;
  std::memcpy(request + REQUEST_REPLY_PORT, &replyPort, sizeof replyPort);  // already in network order
  if (platform::sendDatagram(socket_, request, sizeof request, reinterpret_cast<const sockaddr*>(&destination),
                             sizeof destination) < 0)
    core().log(nullptr, "scan", "sendto error %d", static_cast<int>(platform::lastError()));
}

void ScannerState::postReceive(ScanSlot& slot) {
  if (socket_ <= 0 || slot.inFlight) return;
  // A receive that cannot be posted leaves the slot idle for this scan.
  if (platform::startReceive(socket_, slot.buffer, SCAN_BUFFER_SIZE, &slot.operation.record) != 0) return;
  slot.inFlight = true;
  slot.scanId = scanId_;
}

void ScannerState::onCompletion(IoOperation* operation, uintptr_t, bool ok, uint32_t bytes, uint32_t status) {
  ScanSlot& slot = *reinterpret_cast<ScanSlot*>(reinterpret_cast<uint8_t*>(operation) - offsetof(ScanSlot, operation));
  GlobalLock lock;
  scannerState().onReceive(slot, ok, bytes, status);
}

void ScannerState::onReceive(ScanSlot& slot, bool ok, uint32_t bytes, uint32_t status) {
  slot.inFlight = false;
  if (slot.scanId != scanId_ || !scanRunning()) {
    // The aborted receive of an ended scan: the slot is free for the running one.
    postReceive(slot);
    return;
  }
  if (!ok) {
    switch (status) {
      case platform::status::Success:
      case platform::status::NetnameDeleted:
        return;
      case platform::status::OperationAborted:
        break;
      case platform::status::MoreData:
        // Larger than any reply: dropped, and the slot waits for the next.
        postReceive(slot);
        return;
      default:
        core().log(nullptr, "scan", "Unexpected error %d", static_cast<int>(status));
        return;
    }
  }
  onReply(slot, bytes);
}

void ScannerState::onScanTimer(void* scanner, ZelHeader&, ZelInputStream&) {
  static_cast<ScannerState*>(scanner)->endScan();
}

bool compareAddresses(unsigned long left, unsigned long right) {
  return ntohl(static_cast<uint32_t>(left)) < ntohl(static_cast<uint32_t>(right));
}

void ScannerState::endScan() {
  GlobalLock lock;
  if (!scanRunning()) return;
  if (socket_ > 0) platform::closeSocket(socket_);
  socket_ = 0;

  // The list and the table are sorted together; records of one address
  // keep their arrival order, which is their index.
  DeviceTable* found = current_;
  std::vector<int> order(static_cast<std::size_t>(found->count()));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [found](int left, int right) { return compareAddresses(found->addresses[left], found->addresses[right]); });
  auto* sorted = new DeviceTable();
  sorted->addresses.reserve(order.size() + 1);
  sorted->devices.reserve(order.size());
  for (int index : order) {
    sorted->addresses.push_back(found->addresses[index]);
    sorted->devices.push_back(found->devices[index]);
  }
  sorted->addresses.push_back(0);
  delete found;
  current_ = nullptr;

  const bool changed = sorted->addresses != published_->addresses;
  publish(sorted);
  if (changed) core().notifyLocal(LocalEvent::DeviceListChanged, nullptr);
  notifySubscribersOfEnd(scanId_);
}

void ScannerState::publish(DeviceTable* table) {
  DeviceTable* previous = published_;
  published_ = table;
  publishedList_.store(table->addresses.data(), std::memory_order_release);
  previous->freeReplies();
  delete previous;
}

void ScannerState::notifySubscribersOfEnd(uint32_t endedScanId) {
  // A callback may start the next scan, whose subscribers wait for its end.
  for (ScanSubscription* subscription = subscriptions_.first(); subscription != nullptr;
       subscription = deliveryCursor_) {
    deliveryCursor_ = subscription->next;
    if (subscription->scanId != endedScanId) continue;
    subscriptions_.remove(subscription);
    ZelPacket* end = newScanPacket(0);
    end->callback = subscription->callback;
    end->context = subscription->context;
    delete subscription;
    core().deliver(0, end, nullptr);
  }
  deliveryCursor_ = nullptr;
}

void ScannerState::removeCallbacks(void* context, ZelCallback callback) {
  GlobalLock lock;
  for (ScanSubscription* subscription = subscriptions_.first(); subscription != nullptr;) {
    ScanSubscription* next = subscription->next;
    if (subscription->context == context && (callback == nullptr || subscription->callback == callback)) {
      if (deliveryCursor_ == subscription) deliveryCursor_ = next;
      subscriptions_.remove(subscription);
      delete subscription;
    }
    subscription = next;
  }
}

}  // namespace zelkit::detail
