#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "security/key_fixtures.h"
#include "security/tls_connection/tls_device_util.h"
#include "support/certificate_checking_reset.h"
#include "support/log_lines.h"
#include "support/private_network.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace tlstest;
using enginetest::Recorder;
namespace LocalEvent = zelkit::detail::LocalEvent;

zeltest::Bytes pattern(size_t size) {
  zeltest::Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

zeltest::Bytes request(zelkit::ZelClient& client, uint32_t tag, const zeltest::Bytes& payload = {}) {
  zelkit::ZelOutputStream out;
  if (!payload.empty()) out.write(payload.data(), static_cast<int>(payload.size()));
  zelkit::ZelInputStream reply;
  client.sendRequest(10000, tag, out, reply);
  reply.wait();
  zeltest::Bytes bytes(static_cast<size_t>(reply.available()));
  if (!bytes.empty()) reply.read(bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

// The whole client road inside TLS: tunnel, challenge login, requests,
// replies of several frames split over records and records holding two
// frames, pushed messages.
TEST(HttpsDevice, LoginRequestsAndMessagesRunInsideTls) {
  ZELKIT_REQUIRE_TOOL("python3");
  PythonDevice device;
  const std::string url = "https://u:pw@127.0.0.1:" + std::to_string(device.port());
  zelkit::ZelClient client(url.c_str(), 0, 0);
  Recorder messages;
  client.registerMessageCallback(Recorder::callback, &messages);

  const zeltest::Bytes big = pattern(150001);
  EXPECT_EQ(request(client, kTagEcho, big), big);
  EXPECT_TRUE(client.isEncrypted());
  EXPECT_EQ(client.getPrivilegeLevel(), 3);
  EXPECT_EQ(client.getClientId(), 0x0123);
  ASSERT_EQ(device.lines("TUNNEL ").size(), 1u);
  // The tunnel's credentials carry the user and an empty password.
  EXPECT_EQ(device.lines("TUNNEL ")[0], "TUNNEL GET /zel_tunnel HTTP/1.0 dTo=");
  EXPECT_EQ(device.lines("LOGIN "), std::vector<std::string>{"LOGIN u ok"});

  // A reply and a message in one record: both arrive.
  EXPECT_EQ(request(client, kTagPair, {1, 2, 3}), (zeltest::Bytes{1, 2, 3}));
  const auto paired = messages.waitFor(kTagMessage, 5s);
  ASSERT_TRUE(paired);
  EXPECT_EQ(paired->payload, (zeltest::Bytes{'p', 'a', 'i', 'r'}));
  EXPECT_EQ(paired->sourceUrl, url);

  EXPECT_TRUE(request(client, kTagPush, {9, 8}).empty());
  // The device's messages only: the client's own events may come between.
  const auto pushed = [&] {
    std::vector<zeltest::Bytes> payloads;
    for (const auto& delivery : messages.deliveries())
      if (delivery.tag == kTagMessage) payloads.push_back(delivery.payload);
    return payloads;
  };
  ASSERT_TRUE(enginetest::waitUntil([&] { return pushed().size() >= 2; }, 5s));
  EXPECT_EQ(pushed()[1], (zeltest::Bytes{9, 8}));
  client.unregisterCallback(nullptr, &messages);
}

// After the device ended the connection in order, the next request
// connects again and resumes the TLS session; that handshake ends with the
// client's own flight still being sent, and the connection still goes on.
// The certificate approved on the first connection is not asked about again.
TEST(HttpsDevice, ReconnectResumesTheSessionWithoutAskingAgain) {
  ZELKIT_REQUIRE_TOOL("python3");
  PythonDevice device;
  zelkit::ZelClient client(("https://u:pw@127.0.0.1:" + std::to_string(device.port())).c_str(), 0, 0);
  zeltest::Approver approver;
  approver.client = &client;
  const zeltest::CertificateCheckingReset reset;
  zelkit::ZelClient::setCertificateCheckingMode(zelkit::ZelClient::CertificateCheckAlways, false, zeltest::Approver::callback,
                                                &approver);
  EXPECT_EQ(request(client, kTagEcho, {1}), zeltest::Bytes{1});
  EXPECT_EQ(request(client, kTagEcho, {2}), zeltest::Bytes{2});
  EXPECT_EQ(approver.asked, 1);
  EXPECT_THROW(request(client, kTagCloseNotify), zelkit::Exception*);
  ASSERT_TRUE(device.process().waitForLine("CLOSED", 5s));
  EXPECT_EQ(request(client, kTagEcho, {3}), zeltest::Bytes{3});
  EXPECT_EQ(device.lines("HANDSHAKE "), (std::vector<std::string>{"HANDSHAKE reused=0", "HANDSHAKE reused=1"}));
  EXPECT_EQ(device.lines("LOGIN ").size(), 2u);
  EXPECT_EQ(approver.asked, 1);
}

// Transaction ids inside TLS as on plain connections: more than 256
// requests of one command word at once each get their own answer, and
// requests without a callback hold their ids until the device's answers.
TEST(HttpsDevice, RequestsBeyondTheTransactionIdsGetTheirOwnReplies) {
  ZELKIT_REQUIRE_TOOL("python3");
  PythonDevice device;
  const std::string url = "https://u:pw@127.0.0.1:" + std::to_string(device.port());
  zelkit::ZelClient client(url.c_str(), 0, 0);
  EXPECT_EQ(request(client, kTagEcho, {1}), zeltest::Bytes{1});
  struct Own {
    zeltest::Bytes expected;
    std::atomic<int> calls{0};
    std::atomic<bool> own{false};
    static void callback(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
      auto* self = static_cast<Own*>(context);
      zeltest::Bytes got(static_cast<size_t>(stream.available()));
      if (!got.empty()) stream.read(got.data(), static_cast<int>(got.size()));
      self->own = header.errorCode == 0 && got == self->expected;
      ++self->calls;
    }
  };
  auto sendEcho = [&](int index, zelkit::ZelCallback callback, void* context) {
    const zeltest::Bytes bytes = {static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index), 7, 7};
    zelkit::ZelOutputStream payload(bytes.data(), static_cast<int>(bytes.size()));
    return client.sendRequest(10000, kTagEcho, payload, callback, context);
  };
  std::vector<Own> requests(300);
  int waiting = 0;
  {
    // Held, the lock keeps the worker from taking answers, so no id frees
    // before all 350 are made, however fast the device answers.
    zelkit::detail::GlobalLock lock;
    for (int i = 0; i < 50; ++i) sendEcho(1000 + i, nullptr, nullptr);
    for (int i = 0; i < 300; ++i) {
      requests[static_cast<size_t>(i)].expected = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 7, 7};
      waiting += sendEcho(i, Own::callback, &requests[static_cast<size_t>(i)]) < 0;
    }
  }
  EXPECT_GT(waiting, 0);
  for (Own& one : requests) {
    ASSERT_TRUE(enginetest::waitUntil([&] { return one.calls.load() == 1; }, 10s));
    EXPECT_TRUE(one.own);
  }
  zelkit::detail::Connection* connection;
  {
    zelkit::detail::GlobalLock lock;
    connection = zelkit::detail::core().getConnection(url.c_str());
  }
  EXPECT_TRUE(enginetest::waitUntil(
      [&] {
        zelkit::detail::GlobalLock lock;
        return connection->commandIds[kTagEcho].inUse == 0;
      },
      10s));
}

// "https://" on the Zel port: TLS, and the Zel traffic straight inside it
// (no tunnel request, as for "http://" on that port).
TEST(HttpsDevice, ZelPortRunsZelStraightInsideTls) {
  ZELKIT_REQUIRE_TOOL("python3");
  ASSERT_EQ(zeltest::enterPrivateNetwork(), "");  // port 1756 is then ours
  PythonDevice device(zelkit::detail::DEFAULT_ZEL_PORT);
  zelkit::ZelClient client("https://u:pw@127.0.0.1:1756", 0, 0);
  EXPECT_EQ(request(client, kTagEcho, {4, 5}), (zeltest::Bytes{4, 5}));
  EXPECT_TRUE(client.isEncrypted());
  EXPECT_TRUE(device.lines("TUNNEL ").empty());
  EXPECT_EQ(device.lines("LOGIN "), std::vector<std::string>{"LOGIN u ok"});
}

// What ends a TLS connection at once, and the reason it logs.
struct EndingCase {
  const char* name;
  uint32_t tag;
  const char* reason;
};

void PrintTo(const EndingCase& row, std::ostream* out) { *out << row.name; }

class HttpsEnding : public testing::TestWithParam<EndingCase> {};

TEST_P(HttpsEnding, ClosesTheConnectionAtOnce) {
  ZELKIT_REQUIRE_TOOL("python3");
  const EndingCase& row = GetParam();
  const auto logs = zeltest::temporaryDirectory("tls-ending");
  zelkit::detail::core().setLoggingDirectory(logs.c_str());
  PythonDevice device;
  zelkit::ZelClient client(("https://u:pw@127.0.0.1:" + std::to_string(device.port())).c_str(), 0, 0);
  EXPECT_TRUE(request(client, kTagEcho, {1}) == zeltest::Bytes{1});
  Recorder events;
  Recorder replies;
  client.registerMessageCallback(Recorder::callback, &events);
  const auto sent = enginetest::Clock::now();
  client.sendRequest(60000, row.tag, Recorder::callback, &replies);
  const auto closed = events.waitFor(LocalEvent::ConnectionClosed, 5s);
  ASSERT_TRUE(closed);
  // Long before the request's time-out.
  EXPECT_LT(closed->time - sent, 2s);
  const auto reply = replies.waitFor(row.tag, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
  EXPECT_EQ(zeltest::logLines(logs, "fin "), std::vector<std::string>{row.reason});
  client.unregisterCallback(nullptr, &events);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpsEnding,
                         testing::Values(EndingCase{"CloseNotify", kTagCloseNotify, "SSL error -443000"},
                                         EndingCase{"BadTpktVersion", kTagBadTpkt, "Tpkt header mismatch"},
                                         EndingCase{"TpktLengthBelow20", kTagShortTpkt, "Tpkt header mismatch"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
