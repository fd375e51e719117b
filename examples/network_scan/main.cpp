// Finds the devices on the local network: one scan of 2.2 seconds by
// broadcast (or, with --multicast, to the discovery group), then each
// device's address, MAC address and type, and its XML description, and the
// number of devices (addresses) found.
//
//   zelkit_network_scan [--multicast]

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "zelkit/scanner.h"

namespace {

// The end of the scan, handed from the library's worker thread to main.
struct ScanEnd {
  std::mutex lock;
  std::condition_variable arrived;
  bool done = false;
};

// Runs on the worker thread: once, with an empty stream, when the scan ends.
void onScanEnd(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  auto* end = static_cast<ScanEnd*>(context);
  std::lock_guard<std::mutex> guard(end->lock);
  end->done = true;
  end->arrived.notify_one();
}

// An IPv4 address in network order, as the scanner gives it, in dotted form.
const char* dotted(unsigned long networkOrder, char (&text)[16]) {
  const uint32_t value = static_cast<uint32_t>(networkOrder);
  unsigned char bytes[4];
  std::memcpy(bytes, &value, sizeof bytes);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const bool multicast = argc == 2 && std::strcmp(argv[1], "--multicast") == 0;
  if (argc > 2 || (argc == 2 && !multicast)) {
    std::fprintf(stderr, "usage: %s [--multicast]\n", argv[0]);
    return 2;
  }
  int flags = zelkit::NetworkScanner::ScanKeepBinary | zelkit::NetworkScanner::ScanKeepXml;
  if (multicast) flags |= zelkit::NetworkScanner::ScanMulticast;

  ScanEnd end;
  zelkit::NetworkScanner::triggerScan(flags, 0, 0, onScanEnd, &end);
  {
    std::unique_lock<std::mutex> guard(end.lock);
    end.arrived.wait(guard, [&] { return end.done; });
  }

  // Sorted addresses, ended by 0, one entry per device record. An address
  // may stand there more than once: a device whose XML reply names an HTTP
  // port other than 80 gets a record for each reply, and two devices may
  // share an address. So devices are printed by address, each with what
  // every one of its records holds.
  int devices = 0;
  const unsigned long* entry = zelkit::NetworkScanner::getDeviceList();
  while (*entry != 0) {
    const unsigned long address = *entry;
    ++devices;
    char text[16];
    std::printf("%s\n", dotted(address, text));
    for (int index = 0; *entry == address; ++entry, ++index) {
      zelkit::types::AutoDetectResponseStruct reply;
      if (zelkit::NetworkScanner::getDeviceDetails(address, index, &reply) == 0) {
        const uint8_t* mac = reply.mac;
        std::printf("  mac %02x-%02x-%02x-%02x-%02x-%02x  type 0x%02x  mask %s\n", mac[0], mac[1], mac[2], mac[3],
                    mac[4], mac[5], reply.deviceType, dotted(reply.subnetMask, text));
      }
      char xml[3000];
      if (zelkit::NetworkScanner::getXmlDeviceDetails(address, index, xml, sizeof xml) > 0)
        std::printf("  %s\n", xml);
    }
  }
  std::printf("%d %s\n", devices, devices == 1 ? "device" : "devices");
  zelkit::NetworkScanner::releaseDetailBuffers();
  return 0;
}
