// CamStoreConfig: sets up a camera to record onto the iSCSI storage of an
// encoder, one confirmed request after the other.

#include <atomic>
#include <chrono>
#include <cstdio>

#include "arguments.h"
#include "manual_reset_event.h"
#include "zelkit/byte_order.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"
#include "zelkit/streams.h"

namespace camstore {
namespace {

constexpr unsigned long kSetStorageList = 0x0A370C31;
constexpr unsigned long kStartIscsiServer = 0x0A2B0831;
constexpr unsigned long kSetSpanManager = 0x0A360C31;
constexpr int kRequestTimeoutMs = 3000;
constexpr std::chrono::milliseconds kReplyWait{10000};
constexpr unsigned char kModeReply = 1;

// Shared with the reply callback on the library's worker thread. Never
// destroyed: a late reply may still arrive while the program exits.
ManualResetEvent& finished = *new ManualResetEvent;
std::atomic<bool> succeeded{false};

void onReply(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  if (header.errorCode != 0) {
    std::printf("Error getting zel: 0x%02x\n", static_cast<unsigned>(header.errorCode));
    succeeded = false;
  } else if (header.mode == kModeReply) {
    succeeded = true;
  }
  static_cast<ManualResetEvent*>(context)->set();
}

bool send(zelkit::ZelClient& client, const char* stepName, unsigned long command, zelkit::ZelOutputStream& payload) {
  std::printf("%s\n", stepName);
  try {
    client.sendRequest(kRequestTimeoutMs, command, payload, onReply, &finished);
  } catch (zelkit::Exception* e) {
    std::printf("Error %s on zel\n", e->what());
    return false;
  }
  return true;
}

bool waitForReply() {
  if (!finished.waitFor(kReplyWait)) {
    std::printf("Error waiting for command");
    return false;
  }
  finished.reset();
  if (!succeeded) {
    std::printf("Error on req");
    return false;
  }
  return true;
}

// One step: its request, confirmed by the device's reply. The flag is
// cleared first so that no step inherits the success of the one before.
bool confirmed(zelkit::ZelClient& client, const char* stepName, unsigned long command,
               zelkit::ZelOutputStream& payload) {
  succeeded = false;
  return send(client, stepName, command, payload) && waitForReply();
}

void writeZeros(zelkit::ZelOutputStream& payload, int count) {
  for (int i = 0; i < count; ++i) payload.writeOctet(0);
}

// Addresses are in wire order already; _htonl undoes the swap of writeULong.
void writeAddress(zelkit::ZelOutputStream& payload, uint32_t address) { payload.writeULong(_htonl(address)); }

void writeStorageList(zelkit::ZelOutputStream& payload, bool cameraForm, uint32_t encoderAddress, bool format) {
  payload.writeULong(cameraForm ? 4 : 9);
  if (cameraForm) {
    writeAddress(payload, encoderAddress);
  } else {
    payload.writeULong(0);
  }
  payload.writeUShort(1);
  payload.writeUShort(0);
  payload.writeOctet(cameraForm ? 0 : 1);
  payload.writeOctet(cameraForm ? (format ? 2 : 1) : 0);
  writeZeros(payload, 6);
}

int run(const Arguments& arguments) {
  // A client sends nothing before its first request: the camera hears of
  // none of this unless the encoder's steps succeed.
  zelkit::ZelClient encoder(arguments.encoderUrl.c_str(), 0, 0);
  zelkit::ZelClient camera(arguments.cameraUrl.c_str(), 0, 0);

  {
    zelkit::ZelOutputStream payload;
    writeStorageList(payload, false, arguments.encoderAddress, arguments.formatStorage);
    if (!confirmed(encoder, "set storage list", kSetStorageList, payload)) {
      std::printf("config iscsi lun failed");
      return -1;
    }
  }
  {
    zelkit::ZelOutputStream payload;
    payload.writeULong(1);
    if (!confirmed(encoder, "start iscsi server", kStartIscsiServer, payload)) {
      std::printf("start iscsi server failed");
      return -2;
    }
  }
  {
    zelkit::ZelOutputStream payload;
    writeStorageList(payload, true, arguments.encoderAddress, arguments.formatStorage);
    if (!confirmed(camera, "set storage list", kSetStorageList, payload)) {
      std::printf("iscsi rec storage failed");
      return -3;
    }
  }
  {
    zelkit::ZelOutputStream payload;
    writeAddress(payload, arguments.cameraAddress);
    writeAddress(payload, arguments.encoderAddress);
    payload.writeOctet(0);
    payload.writeOctet(1);
    writeZeros(payload, 246);
    camera.setNum(2);
    if (!confirmed(camera, "set span mgr", kSetSpanManager, payload)) {
      std::printf("set sec rec failed");
      return -4;
    }
  }
  std::printf("configuration finished");
  return 0;
}

}  // namespace
}  // namespace camstore

int main(int argc, char** argv) {
  const auto arguments = camstore::parseArguments(argc, argv);
  if (!arguments) {
    std::printf("%s", camstore::kUsageText);
    return 2;
  }
  return camstore::run(*arguments);
}
