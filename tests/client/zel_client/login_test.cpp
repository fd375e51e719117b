#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "core/connection/connection.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "support/external_md5.h"
#include "support/test_device.h"
#include "zelkit/client.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
namespace LocalEvent = zelkit::detail::LocalEvent;

constexpr uint32_t kCommand = 0x0A370C31;

zeltest::Bytes bytesOf(const std::string& text) { return zeltest::Bytes(text.begin(), text.end()); }

struct LoginCase {
  const char* name;
  const char* userInfo;  // "user:password@" of the URL
  const char* account;   // accepted account "user:password", or null
  zeltest::Bytes challenge;
  bool challengeSupported;
  uint8_t result;
  bool asksChallenge;      // RequestChallenge goes out first
  uint32_t kind;           // of the (last) Register request
  const char* challengeText;  // text the digest is made over; null: plain credentials
  const char* plainText;      // expected plain credential text
  uint32_t event;             // posted when done; 0: none (refused)
};

void PrintTo(const LoginCase& row, std::ostream* out) { *out << row.name; }

const zeltest::Bytes kChallenge = bytesOf("4711081529330123");
const zeltest::Bytes kChallengeWithZero = {'a', 'b', 'c', 0, 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o'};

class Login : public testing::TestWithParam<LoginCase> {};

TEST_P(Login, RegistersAsTheUserAsks) {
  const LoginCase& row = GetParam();
  zeltest::TestDevice device;
  if (row.account != nullptr) {
    const std::string account = row.account;
    device.addAccount(account.substr(0, account.find(':')), account.substr(account.find(':') + 1));
  }
  zeltest::LoginRules rules;
  rules.challenge = row.challenge;
  rules.challengeSupported = row.challengeSupported;
  rules.result = row.result;
  device.setLoginRules(rules);
  device.start();

  Recorder events;
  Recorder replies;
  std::optional<zelkit::ZelClient> client;
  {
    zelkit::detail::GlobalLock lock;  // the callback is in place before anything arrives
    client.emplace(("zelp://" + std::string(row.userInfo) + device.endpoint()).c_str(), 0, 0);
    client->registerMessageCallback(Recorder::callback, &events);
    client->sendRequest(8000, kCommand, Recorder::callback, &replies);
  }
  const auto reply = replies.waitFor(kCommand, 10s);
  ASSERT_TRUE(reply);

  EXPECT_EQ(!device.framesWithTag(zeltest::kTagRequestChallenge).empty(), row.asksChallenge);
  std::optional<zeltest::Registration> login;
  for (const auto& registration : device.registrations())
    if (registration.outcome != zeltest::Registration::Outcome::MessageIdUpdate) login = registration;
  ASSERT_TRUE(login);
  EXPECT_EQ(login->request.kind, row.kind);
  const std::string user = std::string(row.userInfo).substr(0, std::string(row.userInfo).find_first_of(":@"));
  if (row.challengeText != nullptr) {
    const std::string password = std::string(row.userInfo).substr(user.size() + 1, std::string(row.userInfo).find('@') - user.size() - 1);
    const std::string text =
        "+" + user + ":" + row.challengeText + ":" + zeltest::expectedLoginDigest(row.challengeText, user, password) + "+";
    EXPECT_EQ(login->request.text, text);
    EXPECT_EQ(login->request.lengthField, text.size() + 256);
  } else {
    EXPECT_EQ(login->request.text, row.plainText);
    EXPECT_EQ(login->request.lengthField, std::string(row.plainText).size());
  }

  if (row.event != 0) {
    EXPECT_TRUE(events.waitFor(row.event, 5s));
    EXPECT_EQ(reply->errorCode, 0);
    EXPECT_EQ(client->getClientId(), rules.clientId);
    EXPECT_EQ(client->getPrivilegeLevel(), rules.privilegeLevel);
  } else {
    // Refused: the connection goes idle and the queued request is reset.
    EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
    EXPECT_FALSE(events.waitFor(LocalEvent::Registered, 300ms));
    EXPECT_FALSE(events.waitFor(LocalEvent::ConnectFailed, 0ms));  // the connect itself succeeded
    EXPECT_EQ(client->getClientId(), 0);
  }
  client->unregisterCallback(nullptr, &events);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Login,
    testing::Values(
        LoginCase{"HookOnWithNumber", "HookOn7@", nullptr, kChallenge, true, 1, false, 0x02000007, nullptr, "",
                  LocalEvent::Registered},
        LoginCase{"HookOnWithoutNumber", "HookOn:pw@", "HookOn:pw", kChallenge, true, 1, false, 0x01000000, nullptr,
                  "+HookOn:pw+", LocalEvent::Registered},
        LoginCase{"Cookie", "cookie:secret@", "cookie:secret", kChallenge, true, 1, false, 0x01000000, nullptr,
                  "+cookie:secret+", LocalEvent::Registered},
        LoginCase{"Challenge", "user:pw@", "user:pw", kChallenge, true, 1, true, 0x01000000, "4711081529330123", nullptr,
                  LocalEvent::Registered},
        LoginCase{"ChallengeWithZeroByte", "user:pw@", "user:pw", kChallengeWithZero, true, 1, true, 0x01000000, "abc",
                  nullptr, LocalEvent::Registered},
        LoginCase{"NoChallengeGivesPlainCredentials", "user:pw@", "user:pw", kChallenge, false, 1, true, 0x01000000,
                  nullptr, "+user:pw+", LocalEvent::Registered},
        LoginCase{"WrongPassword", "user:wrong@", "user:pw", kChallenge, true, 1, true, 0x01000000,
                  "4711081529330123", nullptr, 0},
        LoginCase{"ResultZero", "HookOn2@", nullptr, kChallenge, true, 0, false, 0x02000002, nullptr, "",
                  LocalEvent::RegisteredResultZero}),
    [](const testing::TestParamInfo<LoginCase>& info) { return std::string(info.param.name); });

// The Register request exactly, before any callback changes the id set.
TEST(LoginBytes, RegisterPayloadIsByteExact) {
  struct Case {
    const char* userInfo;
    zeltest::Bytes payload;
  };
  const Case cases[] = {
      {"HookOn7@", {0x02, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0xFF, 0x03}},
      {"cookie:pw@", {0x01, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x01, 0xFF, 0x03, '+', 'c', 'o', 'o', 'k', 'i', 'e',
                      ':', 'p', 'w', '+'}},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.userInfo);
    zeltest::TestDevice device;
    device.addAccount("cookie", "pw");
    device.start();
    zelkit::ZelClient client(("zelp://" + std::string(row.userInfo) + device.endpoint()).c_str(), 0, 0);
    client.connect();
    const auto frame = device.waitForTag(zeltest::kTagRegister, 5s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, row.payload);
    EXPECT_EQ(frame->header.modeByte, zeltest::kModeRequest);
    EXPECT_EQ(frame->header.sessionId, 0u);
    EXPECT_EQ(frame->header.num, 0);
  }
}

TEST(LoginBytes, ChallengeResponseCarriesTheLengthFlag) {
  zeltest::TestDevice device;
  device.addAccount("u", "p");
  device.start();
  zelkit::ZelClient client(("zelp://u:p@" + device.endpoint()).c_str(), 0, 0);
  client.connect();
  const auto frame = device.waitForTag(zeltest::kTagRegister, 5s);
  ASSERT_TRUE(frame);
  const std::string challenge = "471108152933abcd";  // the device's default
  const std::string text = "+u:" + challenge + ":" + zeltest::expectedLoginDigest(challenge, "u", "p") + "+";
  zeltest::Bytes expected = {0x01, 0x00, 0x00, 0x00, 0x01, static_cast<uint8_t>(text.size()), 0x00, 0x01, 0xFF, 0x03};
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(frame->payload, expected);
}

// A peer whose answers the test device would not give.
TEST(LoginFaults, ShortChallengeIsReadAsWhatIsThere) {
  RawPeer peer;
  zelkit::ZelClient client(peer.url("u:p@").c_str(), 0, 0);
  client.connect();
  ASSERT_TRUE(peer.accept(5s));
  const auto challenge = peer.readUntil(zeltest::kTagRequestChallenge, 5s);
  ASSERT_TRUE(challenge);
  peer.reply(challenge->header, bytesOf("abcde"));
  const auto registration = peer.readUntil(zeltest::kTagRegister, 5s);
  ASSERT_TRUE(registration);
  const std::string text = "+u:abcde:" + zeltest::expectedLoginDigest("abcde", "u", "p") + "+";
  EXPECT_EQ(std::string(registration->payload.end() - static_cast<long>(text.size()), registration->payload.end()), text);
}

TEST(LoginFaults, ShortRegisterReplyIsARefusal) {
  RawPeer peer;
  Recorder replies;
  zelkit::ZelClient client(peer.url("HookOn1@").c_str(), 0, 0);
  client.sendRequest(8000, kCommand, Recorder::callback, &replies);
  ASSERT_TRUE(peer.accept(5s));
  const auto registration = peer.readUntil(zeltest::kTagRegister, 5s);
  ASSERT_TRUE(registration);
  peer.reply(registration->header, {1, 3});  // no client id
  const auto reply = replies.waitFor(kCommand, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
  EXPECT_EQ(client.getClientId(), 0);
  EXPECT_FALSE(peer.readFrame(500ms));  // closed, and the request never went out
}

// A device that takes the TCP connection and never answers the login: the
// connect fails once the login has had the connect time-out.
TEST(LoginFaults, SilentDeviceFailsTheConnectAfterTheConnectTimeout) {
  for (const int connectTimeoutMs : {1000, 2000}) {
    SCOPED_TRACE(connectTimeoutMs);
    zelkit::ZelClient::setConnectTimeout(connectTimeoutMs);
    zeltest::TestDevice device;
    device.setSilent(true);
    device.start();
    Recorder events;
    Recorder replies;
    std::optional<zelkit::ZelClient> client;
    Clock::time_point started;
    {
      zelkit::detail::GlobalLock lock;
      client.emplace(("zelp://user:pw@" + device.endpoint()).c_str(), 0, 0);
      client->registerMessageCallback(Recorder::callback, &events);
      client->sendRequest(60000, kCommand, Recorder::callback, &replies);
      started = Clock::now();
    }
    const auto failed = events.waitFor(LocalEvent::ConnectFailed, 10s);
    ASSERT_TRUE(failed);
    const auto elapsed = std::chrono::duration_cast<milliseconds>(failed->time - started).count();
    EXPECT_GE(elapsed, connectTimeoutMs);
    EXPECT_LT(elapsed, connectTimeoutMs + 2000);
    EXPECT_FALSE(device.framesWithTag(zeltest::kTagRequestChallenge).empty());  // the transport was up

    const auto reply = replies.waitFor(kCommand, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
    EXPECT_TRUE(device.framesWithTag(kCommand).empty());
    EXPECT_FALSE(events.waitFor(LocalEvent::ConnectionClosed, 0ms));
    client->unregisterCallback(nullptr, &events);
  }
}

std::atomic<int> timeOutPasses{0};
void countTimeOutPass(void*, zelkit::ZelHeader&, zelkit::ZelInputStream&) { ++timeOutPasses; }

// A close ends the login under way on its socket: the next connect's login
// goes on however long it takes, even past the time-out pass that would
// have completed the first one.
TEST(LoginFaults, LoginEndedByACloseLeavesTheNextLoginAlone) {
  RawPeer peer;
  const std::string url = peer.url("HookOn1@");
  zelkit::ZelClient client(url.c_str(), 0, 0);
  Recorder events;
  Recorder replies;
  client.registerMessageCallback(Recorder::callback, &events);
  client.connect();
  ASSERT_TRUE(peer.accept(5s));
  ASSERT_TRUE(peer.readUntil(zeltest::kTagRegister, 5s));  // left unanswered
  zelkit::detail::Connection* connection = zelkit::detail::core().getConnection(url.c_str());
  {
    // No time-out pass comes between: it meets both logins.
    zelkit::detail::GlobalLock lock;
    client.disconnect();
    client.sendRequest(10000, kCommand, Recorder::callback, &replies);  // connects again
  }
  peer.closeConnection();
  ASSERT_TRUE(peer.accept(5s));
  const auto registration = peer.readUntil(zeltest::kTagRegister, 5s);
  ASSERT_TRUE(registration);
  zelkit::detail::core().setTimer(1, 0, countTimeOutPass, nullptr, nullptr);  // fires after the pass's time-outs
  ASSERT_TRUE(waitUntil([] { return timeOutPasses.load() == 1; }, 5s));
  ASSERT_TRUE(peer.reply(registration->header, {1, 3, 0x01, 0x02}));
  const auto request = peer.readUntil(kCommand, 5s);
  ASSERT_TRUE(request);
  ASSERT_TRUE(peer.reply(request->header, {7}));
  const auto reply = replies.waitFor(kCommand, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, 0);
  EXPECT_EQ(client.getClientId(), 0x0102);
  EXPECT_FALSE(events.waitFor(LocalEvent::ConnectFailed, 0ms));
  {
    zelkit::detail::GlobalLock lock;
    EXPECT_EQ(connection->state, zelkit::detail::ConnectionState::Registered);
  }
  client.unregisterCallback(nullptr, &events);
}

struct TunnelCase {
  const char* userInfo;
  const char* credentials;  // decoded Basic credentials
};

TEST(Tunnel, HttpUrlSendsTheTunnelRequestFirst) {
  const TunnelCase cases[] = {{"cookie:pw@", "cookie:pw"}, {"user:pw@", "user:"}, {"", "live:"}};
  for (const TunnelCase& row : cases) {
    SCOPED_TRACE(row.userInfo);
    zeltest::TestDevice device;
    device.addAccount("cookie", "pw");
    device.addAccount("user", "pw");
    device.start();
    zelkit::ZelClient client(("http://" + std::string(row.userInfo) + device.endpoint()).c_str(), 0, 0);
    zelkit::ZelInputStream response;
    client.sendRequest(5000, kCommand, response);
    if (std::string(row.userInfo).empty()) {
      EXPECT_ANY_THROW(response.wait());  // "live" has no account here
    } else {
      EXPECT_NO_THROW(response.wait());
    }
    const auto tunnel = device.tunnelRequest(0);
    ASSERT_TRUE(tunnel);
    const std::string head = "GET /zel_tunnel HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic " + tunnel->credentials +
                             "\r\n\r\n";
    EXPECT_EQ(tunnel->head, head);
    EXPECT_EQ(tunnel->user + ":" + tunnel->password, row.credentials);
  }
}

TEST(Tunnel, NoTunnelOnTheZelPort) {
  zeltest::TestDevice device("127.0.0.1", 1756);
  try {
    device.start();
  } catch (const std::exception&) {
    GTEST_SKIP() << "port 1756 is taken";
  }
  zelkit::ZelClient client("http://HookOn1@127.0.0.1:1756", 0, 0);
  zelkit::ZelInputStream response;
  client.sendRequest(5000, kCommand, response);
  EXPECT_NO_THROW(response.wait());
  EXPECT_FALSE(device.tunnelRequest(0));
}

// An "https://" URL whose device does not speak TLS: the request fails,
// and nothing of the tunnel or the login reaches the device in the clear.
TEST(Tunnel, HttpsToAPlainDeviceSendsNothingInTheClear) {
  zeltest::TestDevice device;
  device.start();
  Recorder replies;
  zelkit::ZelClient client(("https://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  EXPECT_TRUE(client.isEncrypted());
  client.sendRequest(60000, kCommand, Recorder::callback, &replies);
  const auto reply = replies.waitFor(kCommand, 10s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
  EXPECT_FALSE(device.tunnelRequest(0));
  EXPECT_TRUE(device.frames().empty());
  EXPECT_TRUE(device.registrations().empty());
}

}  // namespace
