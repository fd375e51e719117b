#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "client/scanner/reply_parsing.h"
#include "core/engine/core.h"
#include "core/engine/list.h"
#include "platform/socket.h"

namespace zelkit::detail {

constexpr uint16_t SCAN_REPLY_PORT = 1758;
constexpr unsigned char MULTICAST_TTL = 7;
constexpr uint32_t SCAN_LENGTH_MS = 2200;
constexpr int SCAN_SLOT_COUNT = 16;
constexpr int SCAN_BUFFER_SIZE = 3000;
constexpr int DEVICE_TABLE_START = 256;

enum ScanFlag : int {
  DeliverEveryReply = 1,
  KeepBinaryReplies = 2,
  KeepXmlReplies = 4,
  UseMulticast = 8,
};

// One device found by a scan. Key: address (kept beside it in the address
// list), MAC and HTTP port. The record owns its kept replies: packets whose
// payload is the datagram.
struct ScanDevice {
  uint8_t mac[MAC_SIZE];
  uint16_t httpPort;
  ZelPacket* binaryReply;
  ZelPacket* xmlReply;
};

// The devices of one scan: entry i of the address list is the address of
// record i. Published tables are sorted by address and end their list with 0.
struct DeviceTable {
  std::vector<unsigned long> addresses;
  std::vector<ScanDevice> devices;

  int count() const { return static_cast<int>(devices.size()); }
  // The index-th record of this address (in arrival order), or null.
  ScanDevice* deviceAt(uint32_t address, int index);
  void freeReplies();
};

struct ScanSubscription {
  ScanSubscription* next = nullptr;
  ZelCallback callback = nullptr;
  void* context = nullptr;
  int flags = 0;
  uint32_t scanId = 0;  // the scan at whose end it is called
};

// One of the receives that stay posted during a scan. A slot is posted at
// most once at a time: one whose receive on an earlier scan's socket has
// not been handled yet is posted on the new socket when its aborted
// completion arrives.
struct ScanSlot {
  IoOperation operation;
  bool inFlight;
  uint32_t scanId;  // the scan whose socket the receive was posted on
  uint8_t buffer[SCAN_BUFFER_SIZE];
};

// The network scanner: the running scan, the published result of the last
// one, and the subscribers. Guarded by the library lock, but for the
// published address list, which readers take without it.
class ScannerState {
 public:
  ScannerState();
  ScannerState(const ScannerState&) = delete;
  ScannerState& operator=(const ScannerState&) = delete;

  void startScan(int flags, uint8_t requestByte1, uint8_t requestByte2, ZelCallback callback, void* context,
                 uint32_t lengthMs);
  void endScan();
  static void onScanTimer(void* state, ZelHeader& header, ZelInputStream& stream);
  // Drops the subscriptions of the context (and of the callback, when it
  // is not null).
  void removeCallbacks(void* context, ZelCallback callback);

  const unsigned long* deviceList() const { return publishedList_.load(std::memory_order_acquire); }
  // Readers of the last completed scan; the library lock is held.
  DeviceTable& published() { return *published_; }

 private:
  bool scanRunning() const { return current_ != nullptr; }
  // The reply port in network order.
  platform::Socket openScanSocket(int flags, sockaddr_in& destination, uint16_t& replyPort);
  void sendRequest(const sockaddr_in& destination, uint8_t requestByte1, uint8_t requestByte2, uint16_t replyPort);
  void postReceive(ScanSlot& slot);
  static void onCompletion(IoOperation* operation, uintptr_t key, bool ok, uint32_t bytes, uint32_t status);
  void onReceive(ScanSlot& slot, bool ok, uint32_t bytes, uint32_t status);
  void onReply(ScanSlot& slot, uint32_t bytes);
  // Returns the flags of every subscriber of the running scan.
  int deliverToSubscribers(const ZelPacket* datagram);
  void keepXmlReply(ZelPacket* packet);
  // The record's index in the current table, and whether it was added.
  int addDevice(uint32_t address, const uint8_t* mac, uint16_t httpPort, bool& added);
  void publish(DeviceTable* table);
  void notifySubscribersOfEnd(uint32_t endedScanId);

  uint32_t scanId_ = 0;
  platform::Socket socket_ = 0;
  DeviceTable* published_;
  std::atomic<const unsigned long*> publishedList_;
  DeviceTable* current_ = nullptr;  // null: no scan runs
  List<ScanSubscription> subscriptions_;
  // The next subscription of a delivery walk, which runs callbacks with the
  // lock released; removing a subscription moves it on.
  ScanSubscription* deliveryCursor_ = nullptr;
  ScanSlot slots_[SCAN_SLOT_COUNT];
};

// The process's scanner; never destroyed.
ScannerState& scannerState();

// Host-order comparison of two addresses held in network order.
bool compareAddresses(unsigned long left, unsigned long right);

// "%02x-%02x-%02x-%02x-%02x-%02x" in a process-wide buffer (for log lines,
// under the library lock).
const char* macToText(const uint8_t* mac);

}  // namespace zelkit::detail
