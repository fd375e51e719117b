// Messages of many records between the library's client and a device with
// Python's TLS: every size arrives whole whichever way it goes, however the
// device cuts its records, and while the device stops reading.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/engine_test_util.h"
#include "security/tls_connection/tls_device_util.h"
#include "support/tls_socket_link.h"
#include "zelkit/client.h"

namespace {

using namespace tlstest;
using enginetest::Recorder;

zeltest::Bytes pattern(size_t size) {
  zeltest::Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

zeltest::Bytes request(zelkit::ZelClient& client, uint32_t tag, const zeltest::Bytes& payload) {
  zelkit::ZelOutputStream out;
  if (!payload.empty()) out.write(payload.data(), static_cast<int>(payload.size()));
  zelkit::ZelInputStream reply;
  client.sendRequest(20000, tag, out, reply);
  reply.wait();
  zeltest::Bytes bytes(static_cast<size_t>(reply.available()));
  if (!bytes.empty()) reply.read(bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

std::string deviceUrl(uint16_t port) { return "https://u:pw@127.0.0.1:" + std::to_string(port); }

// Frame sizes (payload + 20) around the 16384-byte records a packet is cut
// into, around one fragment (65504 payload bytes) and a message of many.
const size_t kSizes[] = {1, 16363, 16364, 16365, 32748, 65503, 65504, 65505, 3 * 65504 + 1, 1 << 20};

// Both ways: the library seals the request and opens the device's reply,
// from a device that writes whole records and from one that writes them
// in pieces of 1 to 97 bytes.
TEST(TlsLargeMessages, EverySizeArrivesExactlyBothWays) {
  ZELKIT_REQUIRE_TOOL("python3");
  struct DeviceCase {
    const char* name;
    std::vector<std::string> options;
  };
  const DeviceCase devices[] = {{"whole records", {}}, {"trickled records", {"--paced", "--trickle"}}};
  for (const DeviceCase& d : devices) {
    SCOPED_TRACE(d.name);
    PythonDevice device(0, d.options);
    zelkit::ZelClient client(deviceUrl(device.port()).c_str(), 0, 0);
    for (const size_t size : kSizes) {
      SCOPED_TRACE(size);
      const zeltest::Bytes payload = pattern(size);
      const zeltest::Bytes echoed = request(client, kTagEcho, payload);
      EXPECT_TRUE(echoed == payload) << echoed.size() << " bytes back";
    }
  }
}

// Forwards one connection to a port and keeps the body lengths of the TLS
// records going that way (their headers travel in the clear).
class RecordTap {
 public:
  explicit RecordTap(uint16_t target) : thread_([this, target] { run(target); }) {}
  ~RecordTap() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_.port(); }
  std::vector<int> applicationRecords() {
    std::lock_guard<std::mutex> guard(mutex_);
    return applicationRecords_;
  }

 private:
  void run(uint16_t target) {
    const int client = listener_.accept();
    if (client < 0) return;
    const int server = zelkit::test::connectLoopback(target);
    pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
    uint8_t buffer[65536];
    while (!stop_ && server >= 0) {
      if (::poll(fds, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) stop_ = true;
        if (n <= 0 || ::send(fds[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
        if (i == 0) note(buffer, static_cast<size_t>(n));
      }
    }
    ::close(client);
    if (server >= 0) ::close(server);
  }

  void note(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count;) {
      if (skip_ > 0) {
        const size_t taken = std::min(skip_, count - i);
        skip_ -= taken;
        i += taken;
        continue;
      }
      header_[headerLength_++] = bytes[i++];
      if (headerLength_ < 5) continue;
      headerLength_ = 0;
      skip_ = static_cast<size_t>(header_[3] << 8 | header_[4]);
      std::lock_guard<std::mutex> guard(mutex_);
      if (header_[0] == 23) applicationRecords_.push_back(static_cast<int>(skip_));
    }
  }

  zelkit::test::LoopbackListener listener_;
  std::atomic<bool> stop_{false};
  uint8_t header_[5] = {};
  int headerLength_ = 0;
  size_t skip_ = 0;
  std::mutex mutex_;
  std::vector<int> applicationRecords_;
  std::thread thread_;
};

// A message is cut into the records it always was: each 65524-byte
// fragment into three of 16384 bytes and one of 16372, the last fragment
// (532 bytes) into one; sealed with MAC and padding to 16416, 16400 and
// 560 bytes.
TEST(TlsLargeMessages, RecordsOfAMessageKeepTheirSizes) {
  ZELKIT_REQUIRE_TOOL("python3");
  PythonDevice device;
  RecordTap tap(device.port());
  zelkit::ZelClient client(deviceUrl(tap.port()).c_str(), 0, 0);
  EXPECT_EQ(request(client, kTagEcho, {1}), zeltest::Bytes{1});
  const size_t before = tap.applicationRecords().size();
  const zeltest::Bytes payload = pattern(1 << 20);
  EXPECT_TRUE(request(client, kTagEcho, payload) == payload);
  const std::vector<int> records = tap.applicationRecords();
  std::vector<int> expected;
  for (int fragment = 0; fragment < 16; ++fragment) expected.insert(expected.end(), {16416, 16416, 16416, 16400});
  expected.push_back(560);
  EXPECT_EQ(std::vector<int>(records.begin() + static_cast<std::ptrdiff_t>(before), records.end()), expected);
}

// The device cuts its reply once, at every offset of a one-record reply
// and around the second record's header in a two-record one; the halves
// arrive apart.
TEST(TlsLargeMessages, RecordsCutAtEveryOffsetArriveWhole) {
  ZELKIT_REQUIRE_TOOL("python3");
  PythonDevice device(0, {"--paced"});
  zelkit::ZelClient client(deviceUrl(device.port()).c_str(), 0, 0);
  struct CutCase {
    size_t payload;  // a frame of payload + 20 bytes
    int firstOffset;
    int lastOffset;
  };
  // 52 bytes seal to one record of 85; 16400 to records of 16421 and 69.
  const CutCase cases[] = {{32, 1, 85}, {16400, 16410, 16432}};
  for (const CutCase& c : cases) {
    for (int offset = c.firstOffset; offset <= c.lastOffset; ++offset) {
      SCOPED_TRACE(offset);
      zeltest::Bytes payload = pattern(c.payload);
      payload[0] = static_cast<uint8_t>(offset >> 8);
      payload[1] = static_cast<uint8_t>(offset);
      ASSERT_TRUE(request(client, kTagSplit, payload) == payload);
    }
  }
}

// The device stops reading 1 MiB into an 8 MiB request, with a small
// receive buffer, so the library's send waits on a full socket: meanwhile
// the device's messages still arrive, and once it reads on the request and
// its echo arrive whole.
TEST(TlsLargeMessages, DeviceThatStopsReadingMidRequest) {
  ZELKIT_REQUIRE_TOOL("python3");
  PythonDevice device(0, {"--rcvbuf", "65536", "--stall-after", std::to_string(1 << 20)});
  zelkit::ZelClient client(deviceUrl(device.port()).c_str(), 0, 0);
  EXPECT_EQ(request(client, kTagEcho, {1}), zeltest::Bytes{1});
  Recorder messages;
  client.registerMessageCallback(Recorder::callback, &messages);
  Recorder replies;
  const zeltest::Bytes payload = pattern(8 << 20);
  zelkit::ZelOutputStream out;
  out.write(payload.data(), static_cast<int>(payload.size()));
  ASSERT_GE(client.sendRequest(60000, kTagEcho, out, Recorder::callback, &replies), 0);
  ASSERT_TRUE(device.process().waitForLine("STALLED", 20s)) << device.process().output();
  const auto stalledMessages = [&] {
    int count = 0;
    for (const auto& delivery : messages.deliveries()) count += delivery.tag == kTagMessage;
    return count;
  };
  EXPECT_TRUE(enginetest::waitUntil([&] { return stalledMessages() == 3; }, 20s));
  EXPECT_EQ(replies.count(), 0u);
  device.process().writeInput("go\n");
  const auto reply = replies.waitFor(kTagEcho, 60s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, 0u);
  EXPECT_TRUE(reply->payload == payload) << reply->payload.size() << " bytes back";
  client.unregisterCallback(nullptr, &messages);
  client.unregisterCallback(nullptr, &replies);
}

}  // namespace
