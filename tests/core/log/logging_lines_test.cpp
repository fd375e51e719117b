#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <thread>

#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/log/logging_test_util.h"
#include "support/test_device.h"
#include "zelkit/client.h"

namespace {

using namespace loggingtest;
using enginetest::milliseconds;
using enginetest::Recorder;
using enginetest::waitUntil;
using zelkit::detail::core;

// The number in the first time-stamped line of the file whose text starts
// with the prefix and reads as the format (one %d, then %n) after it; or -1.
int loggedNumber(const fs::path& path, const std::string& prefix, const char* format) {
  for (const std::string& line : readLines(path)) {
    const std::optional<std::string> text = afterTimestamp(line);
    if (!text || text->rfind(prefix, 0) != 0) continue;
    const std::string rest = text->substr(prefix.size());
    int value = -1;
    int end = 0;
    if (std::sscanf(rest.c_str(), format, &value, &end) == 1 && static_cast<size_t>(end) == rest.size()) return value;
  }
  return -1;
}

void blockThreeSeconds(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  std::this_thread::sleep_for(milliseconds(3000));
}

TEST(EngineLogLines, BlockedWorkerAndSlowCallbackReachTheSystemLog) {
  const fs::path logs = temporaryDirectory("lines");
  core().setLoggingDirectory(logs.c_str());
  core().setTimer(50, 0, blockThreeSeconds, nullptr, nullptr);
  const fs::path systemLog = logs / "127.1.1.1.log";
  const auto blocked = [&] {
    return loggedNumber(systemLog, "run  Worker thread blocked for ", "%d Milliseconds.%n");
  };
  ASSERT_TRUE(waitUntil([&] { return blocked() >= 0; }, milliseconds(15000)));
  EXPECT_GE(blocked(), 2900);
  EXPECT_GE(loggedNumber(systemLog, "clto Time delivering packet ", "%*8x.%*8x is %d Milliseconds.%n"), 2900);
}

// The texts after the time stamps of the lines with the category.
std::vector<std::string> linesOf(const fs::path& path, const std::string& category) {
  std::vector<std::string> texts;
  for (const std::string& line : readLines(path))
    if (const auto text = afterTimestamp(line); text && text->rfind(category + " ", 0) == 0)
      texts.push_back(text->substr(category.size() + 1));
  return texts;
}

// A hook-on client of a test device, logging into its own file.
class ConnectionLogLines : public testing::Test {
 protected:
  void SetUp() override {
    core().setLoggingDirectory(logs.c_str());
    device.start();
    url = "zelp://HookOn1@" + device.endpoint();
    file = logs / ("127.0.0.1_" + std::to_string(device.port()) + ".log");
    client = std::make_unique<zelkit::ZelClient>(url.c_str(), 0, 0);
  }
  void TearDown() override { client->unregisterCallback(nullptr, &events); }

  const fs::path logs = temporaryDirectory("connection");
  zeltest::TestDevice device;
  std::string url;
  fs::path file;
  std::unique_ptr<zelkit::ZelClient> client;
  Recorder events;
};

TEST_F(ConnectionLogLines, MessageIdsBeyondTheLimitAreLogged) {
  // The entry keeps 32 ids; the default id and 31 of them fill the 32 places.
  std::vector<unsigned long> tags;
  for (unsigned long i = 0; i < 32; ++i) tags.push_back((0x0100 + i) << 16 | 0x0030);
  client->subscribeMessageCallback(Recorder::callback, &events, tags.data(), 32);
  EXPECT_EQ(linesOf(file, "msg "), std::vector<std::string>{"MsgMax reached. Registering 011f failed."});
}

TEST_F(ConnectionLogLines, MessageGapIsLoggedAndMessagesDumped) {
  client->connect();
  ASSERT_TRUE(device.waitForRegistration(milliseconds(5000)));
  client->registerMessageCallback(Recorder::callback, &events);
  for (const uint8_t sequence : {3, 5, 6}) ASSERT_TRUE(device.pushMessage(0, 0x0A010030, sequence, {sequence}));
  ASSERT_TRUE(waitUntil(
      [&] {
        int messages = 0;
        for (const auto& delivery : events.deliveries()) messages += delivery.tag == 0x0A010030;
        return messages == 3;
      },
      milliseconds(5000)));
  EXPECT_EQ(linesOf(file, "msg "), std::vector<std::string>{"03 - 05 message(s) lost."});
  // Each message is dumped as it is received.
  int dumped = 0;
  for (const std::string& text : linesOf(file, "recv")) dumped += text.rfind("0a010030.", 0) == 0;
  EXPECT_EQ(dumped, 3);
}

// A request that fails locally is dumped as it is delivered: mode ff,
// payload length 1 and the error octet.
TEST_F(ConnectionLogLines, FailedRequestsAreDumpedAsDelivered) {
  constexpr uint32_t kCommand = 0x0A370C31;
  device.setRule(kCommand, zeltest::Rule::silent());
  Recorder replies;
  client->sendRequest(600, kCommand, Recorder::callback, &replies);  // times out
  ASSERT_TRUE(replies.waitFor(kCommand, milliseconds(5000)));
  client->sendRequest(60000, kCommand, Recorder::callback, &replies);
  ASSERT_TRUE(waitUntil([&] { return device.framesWithTag(kCommand).size() == 2; }, milliseconds(5000)));
  client->disconnect();  // resets the pending one
  ASSERT_TRUE(replies.waitForCount(2, milliseconds(5000)));
  zelkit::ZelClient invalid("127.1.1.1:9", 0, 0);  // fails at once
  invalid.sendRequest(600, kCommand, Recorder::callback, &replies);

  struct Case {
    fs::path file;
    const char* category;
    const char* octet;
  };
  const Case cases[] = {
      {file, "tout", "01"},
      {file, " rst", "07"},
      {logs / "127.1.1.1_9.log", "inv ", "04"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> dumps = linesOf(c.file, c.category);
    ASSERT_EQ(dumps.size(), 1u) << c.category;
    EXPECT_EQ(dumps[0].substr(0, 11), "0a370c31.ff") << dumps[0];
    EXPECT_EQ(dumps[0].substr(17), ".00000000.00000001: " + std::string(c.octet)) << dumps[0];
  }
}

// Why a connection closed, in its log.
TEST(ConnectionCloseReasons, AreLoggedWithTheConnection) {
  const fs::path logs = temporaryDirectory("reasons");
  core().setLoggingDirectory(logs.c_str());
  zelkit::ZelClient::setDefaultTimeout(1000);
  auto finLines = [&](uint16_t port) { return linesOf(logs / ("127.0.0.1_" + std::to_string(port) + ".log"), "fin "); };
  // Waits (while the client still lives) until its connection logged a close.
  auto awaitClose = [&](uint16_t port) {
    EXPECT_TRUE(waitUntil([&] { return !finLines(port).empty(); }, milliseconds(5000)));
  };
  // A registered connection whose peer then does as told.
  auto closeRegistered = [&](const std::function<void(enginetest::RawPeer&, zelkit::ZelClient&)>& peerAction) {
    enginetest::RawPeer peer;
    zelkit::ZelClient client(peer.url("HookOn1@").c_str(), 0, 0);
    client.connect();
    EXPECT_TRUE(peer.acceptAndRegister(milliseconds(5000)));
    peerAction(peer, client);
    awaitClose(peer.port());
    return peer.port();
  };
  struct Case {
    const char* reason;
    std::function<uint16_t()> closeIt;  // returns the port of the connection
  };
  const Case cases[] = {
      {"Connection refused",
       [&] {
         const uint16_t port = enginetest::closedPort();
         zelkit::ZelClient client(("zelp://127.0.0.1:" + std::to_string(port)).c_str(), 0, 0);
         client.connect();
         awaitClose(port);
         return port;
       }},
      {"Server disconnect",
       [&] {
         return closeRegistered([](enginetest::RawPeer& peer, zelkit::ZelClient&) { peer.closeConnection(); });
       }},
      {"Socket error 64",
       [&] {
         return closeRegistered([](enginetest::RawPeer& peer, zelkit::ZelClient&) { peer.resetConnection(); });
       }},
      {"LiveCheck Error 101",  // the check went unanswered
       [&] {
         return closeRegistered([](enginetest::RawPeer& peer, zelkit::ZelClient& client) {
           client.setLiveCheckInterval(1);
           EXPECT_TRUE(peer.readUntil(zeltest::kTagLiveCheck, milliseconds(5000)));
         });
       }},
  };
  for (const Case& c : cases) {
    const uint16_t port = c.closeIt();
    EXPECT_EQ(finLines(port), std::vector<std::string>{c.reason});
  }
}

}  // namespace
