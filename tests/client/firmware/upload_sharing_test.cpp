// Several uploads at once: the limit on connects, one read of a shared
// file, large files streamed in chunks.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client/firmware/firmware_device.h"
#include "client/firmware/upload_test_util.h"
#include "support/external_tool.h"
#include "support/log_lines.h"
#include "support/private_network.h"
#include "zelkit/system.h"

namespace {

using namespace fwtest;

// Runs check every few milliseconds on a thread of its own until stopped.
class Sampler {
 public:
  explicit Sampler(std::function<void()> check)
      : thread_([this, check] {
          while (!stop_) {
            check();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
        }) {}
  ~Sampler() { stop(); }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Local addresses of this network's TCP sockets still connecting to the
// port (SYN_SENT), from /proc/net/tcp.
std::vector<std::string> connectingTo(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // column names
  char remotePort[8];
  std::snprintf(remotePort, sizeof remotePort, ":%04X", port);
  std::vector<std::string> found;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "02" && remote.size() > 5 && remote.substr(remote.size() - 5) == remotePort) found.push_back(local);
  }
  return found;
}

// Five uploads at once make at most four connects at a time: the fifth
// connects once one of the others has given up. Connects to a listener
// whose backlog is full hang until the connect time-out.
TEST(FirmwareUploadSharing, AtMostFourConnectsAtOnce) {
  ASSERT_EQ(zeltest::enterPrivateNetwork(), "");
  const auto logs = zeltest::temporaryDirectory("firmware-logs");
  zelkit::System::setLoggingDirectory(logs.c_str());
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(80);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  // The one connection the backlog holds; SYNs beyond it are dropped.
  const int filler = ::socket(AF_INET, SOCK_STREAM, 0);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  zelkit::ZelClient::setConnectTimeout(2000);
  const FirmwareFile file("fw.bin", 100);
  std::vector<std::unique_ptr<zelkit::ZelClient>> clients;
  std::vector<std::unique_ptr<UploadEvents>> events;
  for (int i = 2; i <= 6; ++i) {
    // Port 1756, where nothing listens: the kind query fails, the upload goes to port 80.
    clients.push_back(std::make_unique<zelkit::ZelClient>(("zelp://127.0.0." + std::to_string(i)).c_str(), 0, 0));
    events.push_back(std::make_unique<UploadEvents>(*clients.back()));
  }
  std::mutex mutex;
  size_t mostAtOnce = 0;
  std::set<std::string> sockets;
  Sampler sampler([&] {
    const auto connecting = connectingTo(80);
    std::lock_guard<std::mutex> guard(mutex);
    mostAtOnce = std::max(mostAtOnce, connecting.size());
    sockets.insert(connecting.begin(), connecting.end());
  });
  for (auto& client : clients) ASSERT_EQ(client->startFirmwareUpload(file.path.c_str()), 0);
  for (auto& outcome : events) EXPECT_EQ(outcome->outcome(0, 30s), kFailed);
  sampler.stop();
  EXPECT_EQ(mostAtOnce, 4u);
  EXPECT_EQ(sockets.size(), 5u);
  EXPECT_EQ(zeltest::logLines(logs, "fwul"),
            std::vector<std::string>(5, "Firmware upload failed status=-1 error=10060"));
  ::close(filler);
  ::close(listener);
}

// Uploads of one file to two devices at once read it once; once both are
// done, the next upload reads the file again.
TEST(FirmwareUploadSharing, SameFileIsReadOnceForTwoDevices) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  DeviceOptions options;
  options.ports = {0, 0};
  options.hold = 2;  // both bodies are in before either upload ends
  FirmwareDevice device(options);
  FirmwareFile file("fw.bin", 200000);
  const std::string md5 = md5Of(file.path);
  const int watch = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(::inotify_add_watch(watch, file.path.c_str(), IN_OPEN), 0);
  auto opens = [&] {
    int count = 0;
    alignas(inotify_event) char events[4096];
    ssize_t got;
    while ((got = ::read(watch, events, sizeof events)) > 0)
      for (char* at = events; at < events + got;
           at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
        ++count;
    return count;
  };

  zelkit::ZelClient first(device.url("zelp", "", 0).c_str(), 0, 0);
  zelkit::ZelClient second(device.url("zelp", "", 1).c_str(), 0, 0);
  UploadEvents firstEvents(first);
  UploadEvents secondEvents(second);
  ASSERT_EQ(first.startFirmwareUpload(file.path.c_str()), 0);
  ASSERT_EQ(second.startFirmwareUpload(file.path.c_str()), 0);
  for (int i = 0; i < 2; ++i) {
    const auto post = device.nextPost();
    ASSERT_TRUE(post);
    EXPECT_EQ(post->at("md5"), md5);
  }
  EXPECT_EQ(firstEvents.outcome(), kDone);
  EXPECT_EQ(secondEvents.outcome(), kDone);
  EXPECT_EQ(opens(), 1);

  file.rewrite(1000, 7);
  const std::string newMd5 = md5Of(file.path);
  opens();
  ASSERT_EQ(first.startFirmwareUpload(file.path.c_str()), 0);
  const auto post = device.nextPost();
  ASSERT_TRUE(post);
  EXPECT_EQ(post->at("size"), "1000");
  EXPECT_EQ(post->at("md5"), newMd5);
  EXPECT_EQ(firstEvents.outcome(1), kDone);
  EXPECT_EQ(opens(), 1);
  ::close(watch);
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A 100 MiB file (beyond the 64 MiB read whole) goes to two devices at once
// in chunks, each upload from its own open file, while the process's memory
// stays far below the file's size.
TEST(FirmwareUploadSharing, LargeFileIsStreamedInChunks) {
  ASSERT_TRUE(zelkit::test::toolAvailable("python3"));
  DeviceOptions options;
  options.ports = {0, 0};
  FirmwareDevice device(options);
  const uint64_t size = 100ull << 20;
  const FirmwareFile file("large.bin", size, true);
  const std::string md5 = md5Of(file.path);
  zelkit::ZelClient first(device.url("zelp", "", 0).c_str(), 0, 0);
  zelkit::ZelClient second(device.url("zelp", "", 1).c_str(), 0, 0);
  UploadEvents firstEvents(first);
  UploadEvents secondEvents(second);

  const long before = residentKiB();
  std::atomic<long> most{before};
  Sampler sampler([&] { most = std::max(most.load(), residentKiB()); });
  ASSERT_EQ(first.startFirmwareUpload(file.path.c_str()), 0);
  ASSERT_EQ(second.startFirmwareUpload(file.path.c_str()), 0);
  for (int i = 0; i < 2; ++i) {
    const auto post = device.nextPost(120s);
    ASSERT_TRUE(post);
    EXPECT_EQ(post->at("size"), std::to_string(size));
    EXPECT_EQ(post->at("md5"), md5);
  }
  EXPECT_EQ(firstEvents.outcome(0, 60s), kDone);
  EXPECT_EQ(secondEvents.outcome(0, 60s), kDone);
  sampler.stop();
  EXPECT_LT(most - before, 16 * 1024) << "KiB more while uploading";
}

}  // namespace
