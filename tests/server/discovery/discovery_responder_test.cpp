#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "server/discovery/responder_fixture.h"
#include "zelkit/system.h"

namespace {

using namespace discoverytest;

std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string dotted(in_addr address) { return ::inet_ntoa(address); }

TEST_F(ResponderTest, BinaryReplyThenXmlToTheRequester) {
  struct Case {
    unsigned long identityA;
    unsigned long identityB;
    uint8_t deviceType;
    uint8_t secondType;  // byte 31
    const char* deviceId;
    const char* serial;
  };
  const Case cases[] = {
      {0x21000000, 1, 0x21, 0, "33", "21000000:00000001"},
      {0xF0001200, 0xDEADBEEF, 0xF0, 0x12, "240", "f0001200:deadbeef"},
      // Bits beyond 32 (where long has them) do not reach the wire.
      {static_cast<unsigned long>(0x5F0003400ULL), static_cast<unsigned long>(0x1FFFFFFFFULL), 0xF0, 0x34, "240",
       "f0003400:ffffffff"},
  };
  Requester requester;
  uint32_t scanId = 0x01020304;
  for (const Case& row : cases) {
    SCOPED_TRACE(row.serial);
    // A later call only changes what the one responder answers.
    server->initDiscoveryPort(0, L"Cam", row.identityA, row.identityB);
    ASSERT_TRUE(waitForResponder());
    const Bytes request = scanRequest(++scanId, 0x11, 0x22, requester.port());
    const auto sent = std::chrono::steady_clock::now();
    requester.send(request, "127.0.0.1", kBroadcastPort);
    const auto answers = requester.collect(2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 30ms);

    const Bytes& binary = answers[0].bytes;
    ASSERT_EQ(binary.size(), 32u);
    EXPECT_EQ(Bytes(binary.begin(), binary.begin() + 8), Bytes(request.begin(), request.begin() + 8));
    EXPECT_EQ(Bytes(binary.begin() + 8, binary.begin() + 14), Bytes(kMac, kMac + 6));
    EXPECT_EQ(binary[14], 3);
    EXPECT_EQ(binary[15], row.deviceType);
    const Bytes addresses = {127, 0, 0, 1, 255, 0, 0, 0, 127, 0, 0, 254};
    EXPECT_EQ(Bytes(binary.begin() + 16, binary.begin() + 28), addresses);
    EXPECT_EQ(Bytes(binary.begin() + 28, binary.end()), (Bytes{0, 0, 0, row.secondType}));

    const std::string xml = textOf(answers[1].bytes);
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\"?><root xmlns=\"OEMExtXX:device-1-0\">", 0), 0u) << xml;
    EXPECT_NE(xml.find(std::string("device:deviceID") + row.deviceId + "</deviceType>"), std::string::npos) << xml;
    EXPECT_NE(xml.find(std::string("<serialNumber>") + row.serial + "</serialNumber>"), std::string::npos) << xml;

    for (const Answer& answer : answers) {
      EXPECT_EQ(dotted(answer.destination), "127.0.0.1");
      EXPECT_EQ(ntohs(answer.from.sin_port), kBroadcastPort);  // sent from the broadcast socket
    }
  }
}

TEST_F(ResponderTest, OnlyScanRequestsAreAnswered) {
  server->initDiscoveryPort(0, L"Cam", 0x21000000, 0);
  ASSERT_TRUE(waitForResponder());
  Requester requester;
  const Bytes request = scanRequest(7, 0, 0, requester.port());
  Bytes badMagic = request;
  badMagic[3] ^= 1;
  Bytes longest = request;
  longest.resize(32, 0xEE);
  Bytes tooLong = longest;
  tooLong.push_back(0xEE);
  struct Case {
    const char* what;
    Bytes datagram;
    size_t answers;
  };
  const Case cases[] = {
      {"11 bytes", Bytes(request.begin(), request.begin() + 11), 0},
      {"bad magic", badMagic, 0},
      {"33 bytes", tooLong, 0},
      {"empty", {}, 0},
      {"12 bytes", request, 2},
      {"32 bytes", longest, 2},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.what);
    requester.send(row.datagram, "127.0.0.1", kBroadcastPort);
    EXPECT_EQ(requester.collect(row.answers, 1s).size(), row.answers);
  }
}

struct CallbackRecord {
  std::mutex mutex;
  std::string seen;
  size_t size = 0;
  char byte1 = 0;
  char byte2 = 0;
  const char* rewrite = nullptr;
  int result = 0;
};

int recordCallback(void* context, char* buffer, size_t size, char byte1, char byte2) {
  auto* record = static_cast<CallbackRecord*>(context);
  std::lock_guard<std::mutex> guard(record->mutex);
  record->seen = buffer;
  record->size = size;
  record->byte1 = byte1;
  record->byte2 = byte2;
  if (record->rewrite != nullptr) std::memcpy(buffer, record->rewrite, std::strlen(record->rewrite));
  return record->result;
}

TEST_F(ResponderTest, CallbackRewritesOrSuppressesTheAnswer) {
  server->initDiscoveryPort(0, L"Cam", 0x21000000, 0);
  ASSERT_TRUE(waitForResponder());
  Requester requester;
  // The text as the library writes it.
  requester.send(scanRequest(1, 0, 0, requester.port()), "127.0.0.1", kBroadcastPort);
  const auto plain = requester.collect(2);
  ASSERT_EQ(plain.size(), 2u);
  const std::string template_ = textOf(plain[1].bytes);

  CallbackRecord record;
  server->registerDiscoveryResponseCallback(recordCallback, &record);
  struct Case {
    int result;
    const char* rewrite;
    size_t answers;
    std::string xml;
  };
  const Case cases[] = {
      {0, nullptr, 0, ""},
      {-1, nullptr, 0, ""},
      {10, "<rewritten text>", 2, "<rewritten"},
      // Longer than the buffer: the buffer goes out, zeros behind the text.
      {5000, nullptr, 2, template_ + std::string(1500 - template_.size(), '\0')},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.result);
    {
      std::lock_guard<std::mutex> guard(record.mutex);
      record.result = row.result;
      record.rewrite = row.rewrite;
    }
    requester.send(scanRequest(2, 0xA5, 0x5A, requester.port()), "127.0.0.1", kBroadcastPort);
    const auto answers = requester.collect(row.answers, 1s);
    ASSERT_EQ(answers.size(), row.answers);
    {
      std::lock_guard<std::mutex> guard(record.mutex);
      EXPECT_EQ(record.seen, template_);
      EXPECT_EQ(record.size, 1500u);
      EXPECT_EQ(static_cast<uint8_t>(record.byte1), 0xA5);
      EXPECT_EQ(static_cast<uint8_t>(record.byte2), 0x5A);
    }
    if (row.answers == 0) continue;
    EXPECT_EQ(answers[0].bytes.size(), 32u);
    EXPECT_EQ(textOf(answers[1].bytes), row.xml);
  }

  // Without a callback, the library's text again.
  server->registerDiscoveryResponseCallback(nullptr, nullptr);
  requester.send(scanRequest(3, 0, 0, requester.port()), "127.0.0.1", kBroadcastPort);
  const auto restored = requester.collect(2);
  ASSERT_EQ(restored.size(), 2u);
  EXPECT_EQ(textOf(restored[1].bytes), template_);
}

TEST_F(ResponderTest, OneResponderOnTheGroupPortOfTheLatestCall) {
  Requester requester;
  const Bytes request = scanRequest(9, 0, 0, requester.port());
  // Port 0 stands for 1800.
  server->initDiscoveryPort(0, L"Cam", 0x21000000, 0);
  ASSERT_TRUE(waitForResponder());
  requester.send(request, "127.0.0.1", kGroupPort);
  EXPECT_EQ(requester.collect(2).size(), 2u);

  server->initDiscoveryPort(1801, L"Cam", 0x21000000, 0);
  // The responder moves its group socket when it next wakes.
  ASSERT_TRUE(waitForResponder(1801));
  requester.send(request, "127.0.0.1", 1801);
  EXPECT_EQ(requester.collect(2).size(), 2u);
  requester.send(request, "127.0.0.1", kGroupPort);
  EXPECT_EQ(requester.collect(0, 1s).size(), 0u);

  // A broadcast reaches every responder on the port: one answers it.
  server->initDiscoveryPort(1801, L"Cam", 0x21000000, 0);
  requester.send(request, "255.255.255.255", kBroadcastPort);
  EXPECT_EQ(requester.collect(2).size(), 2u);
}

TEST_F(ResponderTest, RequesterOffEverySubnetIsAnsweredByBroadcast) {
  knownAdapter() = adapterRecord("10.20.30.40", "255.255.255.0", "10.20.30.1", kMac);
  server->initDiscoveryPort(0, L"Cam", 0x21000000, 0);
  ASSERT_TRUE(waitForResponder());
  Requester requester;
  requester.send(scanRequest(5, 0, 0, requester.port()), "127.0.0.1", kBroadcastPort);
  const auto answers = requester.collect(2);
  ASSERT_EQ(answers.size(), 2u);
  for (const Answer& answer : answers) EXPECT_EQ(dotted(answer.destination), "255.255.255.255");
  // The first adapter's record.
  const Bytes address = {10, 20, 30, 40};
  EXPECT_EQ(Bytes(answers[0].bytes.begin() + 16, answers[0].bytes.begin() + 20), address);
  EXPECT_NE(textOf(answers[1].bytes).find("<unitIPAddress>10.20.30.40</unitIPAddress>"), std::string::npos);
}

TEST_F(ResponderTest, TerminateEndsTheResponder) {
  server->initDiscoveryPort(0, L"Cam", 0x21000000, 0);
  ASSERT_TRUE(waitForResponder());
  Requester requester;
  requester.send(scanRequest(1, 0, 0, requester.port()), "127.0.0.1", kBroadcastPort);
  ASSERT_EQ(requester.collect(2).size(), 2u);
  EXPECT_TRUE(udpPortTaken(kBroadcastPort));

  zelkit::System::terminate();
  EXPECT_TRUE(servertest::waitUntil([] { return !udpPortTaken(kBroadcastPort) && !udpPortTaken(kGroupPort); }, 2s));
  requester.send(scanRequest(2, 0, 0, requester.port()), "127.0.0.1", kBroadcastPort);
  EXPECT_EQ(requester.collect(0, 1s).size(), 0u);
}

}  // namespace
