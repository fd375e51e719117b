#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>

#include "core/connection/accepted_client_ids.h"
#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "server/server_test_util.h"
#include "support/external_md5.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace servertest;
using zeltest::RawClient;

constexpr uint32_t kEcho = 0x0A010C31;

void echo(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  zelkit::ZelOutputStream reply;
  reply.writeOctet(static_cast<unsigned char>(session->getPrivilegeLevel()));
  session->respond(header, reply);
}

void setLoginScript(int result, std::optional<std::string> password) {
  LoginScript& script = loginScript();
  std::lock_guard<std::mutex> guard(script.mutex);
  script.result = result;
  script.password = std::move(password);
  script.calls.clear();
}

struct LoginState {
  uint8_t loggedIn;
  uint8_t level;
  uint16_t clientId;
};

std::optional<LoginState> loginState(RawClient& client) {
  const auto reply = client.call(kCmdRegisterState);
  if (!reply || reply->payload.size() != 4) return std::nullopt;
  return LoginState{reply->payload[0], reply->payload[1], zeltest::readU16(&reply->payload[2])};
}

std::string challengeOf(RawClient& client) {
  const auto reply = client.call(kCmdLoginChallenge);
  if (!reply || reply->payload.size() != 17 || reply->payload.back() != 0) return "";
  return std::string(reply->payload.begin(), reply->payload.end() - 1);
}

// The level the echo handler sees for the client's session; -1 without an answer.
int echoLevel(RawClient& client) {
  const auto reply = client.call(kEcho);
  return reply && reply->payload.size() == 1 ? reply->payload[0] : -1;
}

// Where the client-id counter stands, as if that many connects had come.
void setClientIdCounter(uint16_t last) {
  zelkit::detail::GlobalLock lock;
  zelkit::detail::setLastAcceptedClientId(last);
}

class Login : public ::testing::Test {
 protected:
  void SetUp() override {
    server.registerCallback(kEcho, echo);
    server.bindHttpPort(httpPort, false, nullptr);
    server.bindHttpPort(httpsPort, true, nullptr);
    server.start(port);
  }

  TestServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
  const uint16_t httpPort = zeltest::freeLoopbackPort();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
};

TEST_F(Login, LibraryClientOverZelPortTunnelAndTls) {
  setLoginScript(2, "pw");
  struct Case {
    std::string url;
    int level;
  };
  const std::string zel = "127.0.0.1:" + std::to_string(port);
  const std::string http = "127.0.0.1:" + std::to_string(httpPort);
  const std::string https = "127.0.0.1:" + std::to_string(httpsPort);
  const Case cases[] = {
      {"zelp://u:pw@" + zel, 2},
      {"zelp://u:wrong@" + zel, 0},
      {"http://u:pw@" + http, 2},
      {"http://u:wrong@" + http, 0},
      {"https://u:pw@" + https, 2},
      {"https://u:wrong@" + https, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    zelkit::ZelClient client(c.url.c_str(), 0, 0);
    zelkit::ZelOutputStream payload;
    zelkit::ZelInputStream reply;
    try {
      client.sendRequest(5000, kEcho, payload, reply);
    } catch (zelkit::Exception* failure) {
      ADD_FAILURE() << failure->what();
      continue;
    }
    // The handler sees the level the login granted, and so does the client.
    EXPECT_EQ(reply.readOctet(), c.level);
    EXPECT_EQ(client.getPrivilegeLevel(), c.level);
    const zelkit::ZelSessionRef session = server.getSession(client.getClientId());
    ASSERT_TRUE(session);
    EXPECT_EQ(session->getPrivilegeLevel(), c.level);
  }
  // Every login came as a challenge response: the password was the digest.
  for (const LoginCall& call : loginScript().recorded()) {
    EXPECT_EQ(call.user, "u");
    ASSERT_TRUE(call.password);
    EXPECT_EQ(call.password->size(), 32u);
  }
}

TEST_F(Login, RegistrationTable) {
  RawClient client(port);
  const auto state = loginState(client);
  ASSERT_TRUE(state);
  const uint16_t clientId = state->clientId;
  const std::string long128 = "+" + std::string(126, 'x') + "+";
  const std::string long200 = "+" + std::string(198, 'y') + "+";
  struct Case {
    const char* name;
    uint32_t word;
    uint8_t split;
    uint8_t length;
    std::string text;
    int result;
    std::optional<LoginCall> call;  // none: onLogin is not asked
    Bytes answer;                   // the two octets before the client id
    uint8_t level;
  };
  const Case cases[] = {
      {"credentials", 0x01000000, 0, 6, "+u:pw+", 2, LoginCall{"u", "pw"}, {1, 2}, 2},
      {"two colons, split at the last", 0x01000000, 0, 7, "+u:a:b+", 1, LoginCall{"u:a", "b"}, {1, 1}, 1},
      {"two colons, split at the first", 0x01000000, 1, 7, "+u:a:b+", 2, LoginCall{"u", "b"}, {1, 2}, 2},
      {"no colon", 0x01000000, 0, 6, "+user+", 2, LoginCall{"user", std::nullopt}, {1, 2}, 2},
      {"length 128 kept", 0x01000000, 0, 128, long128, 2, LoginCall{std::string(126, 'x'), std::nullopt}, {1, 2}, 2},
      {"length 200 taken as 127", 0x01000000, 0, 200, long200, 2, LoginCall{std::string(125, 'y'), std::nullopt},
       {1, 2}, 2},
      {"length beyond the payload", 0x01000000, 0, 50, "+u:p+", 2, LoginCall{"u", "p"}, {1, 2}, 2},
      {"text without its frames", 0x01000000, 0, 1, "+", 2, LoginCall{"", std::nullopt}, {1, 2}, 2},
      {"hook", 0x02000007, 0, 0, "", 2, LoginCall{"Hook2", "7"}, {1, 2}, 2},
      {"hook of another kind", 0x05001234, 0, 0, "", 3, LoginCall{"Hook5", "4660"}, {1, 3}, 3},
      {"refused with 0", 0x01000000, 0, 6, "+u:pw+", 0, LoginCall{"u", "pw"}, {0, 0}, 0},
      {"refused below 0", 0x01000000, 0, 6, "+u:pw+", -1, LoginCall{"u", "pw"}, {0, 0}, 0},
      {"4 grants level 0", 0x01000000, 0, 6, "+u:pw+", 4, LoginCall{"u", "pw"}, {1, 4}, 0},
      {"7 grants level 3", 0x01000000, 0, 6, "+u:pw+", 7, LoginCall{"u", "pw"}, {1, 7}, 3},
      {"plain registration keeps the level", 0x00000000, 0, 6, "+u:pw+", 0, std::nullopt, {0, 0}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setLoginScript(c.result, std::nullopt);
    const auto reply = client.call(kCmdRegister, registerPayload(c.word, c.split, c.length, c.text));
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->payload.size(), 4u);
    EXPECT_EQ(Bytes(reply->payload.begin(), reply->payload.begin() + 2), c.answer);
    EXPECT_EQ(zeltest::readU16(&reply->payload[2]), clientId);
    const std::vector<LoginCall> calls = loginScript().recorded();
    if (c.call) {
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].user, c.call->user);
      EXPECT_EQ(calls[0].password, c.call->password);
    } else {
      EXPECT_TRUE(calls.empty());
    }
    const auto state = loginState(client);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->level, c.level);
    EXPECT_EQ(state->loggedIn, c.level != 0 ? 1 : 0);
  }
}

TEST_F(Login, ChallengeAndDigest) {
  RawClient first(port);
  RawClient second(port);
  const std::string challenge = challengeOf(first);
  const std::string other = challengeOf(second);
  ASSERT_EQ(challenge.size(), 16u);
  ASSERT_EQ(other.size(), 16u);
  // Digits of each connection's own, the asking client's id behind them.
  EXPECT_NE(challenge.substr(0, 12), other.substr(0, 12));
  EXPECT_EQ(challenge.substr(0, 12).find_first_not_of("0123456789"), std::string::npos);
  for (RawClient* client : {&first, &second}) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%04x", loginState(*client)->clientId);
    EXPECT_EQ((client == &first ? challenge : other).substr(12), suffix);
  }
  EXPECT_NE(challenge.substr(12), other.substr(12));

  setLoginScript(2, "pw");
  struct Case {
    const char* name;
    std::string digest;
    uint8_t level;
  };
  const Case cases[] = {
      {"digest of the password", zeltest::expectedLoginDigest(challenge, "u", "pw"), 2},
      {"digest of another password", zeltest::expectedLoginDigest(challenge, "u", "px"), 0},
      {"digest over the other client's challenge", zeltest::expectedLoginDigest(other, "u", "pw"), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = "+u:" + challenge + ":" + c.digest + "+";
    const auto reply = first.call(kCmdRegister, registerPayload(0x01000000, 1, static_cast<uint8_t>(text.size()), text));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload[1], c.level);
  }
}

TEST_F(Login, EveryConnectionGetsChallengeDigitsOfItsOwn) {
  constexpr size_t kConnections = 200;
  std::vector<std::unique_ptr<RawClient>> clients;
  std::set<std::string> digits;
  std::set<uint16_t> ids;
  for (size_t i = 0; i < kConnections; ++i) {
    clients.push_back(std::make_unique<RawClient>(port));
    RawClient& client = *clients.back();
    const std::string challenge = challengeOf(client);
    ASSERT_EQ(challenge.size(), 16u);
    EXPECT_EQ(challenge.substr(0, 12).find_first_not_of("0123456789"), std::string::npos);
    const auto state = loginState(client);
    ASSERT_TRUE(state);
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%04x", state->clientId);
    EXPECT_EQ(challenge.substr(12), suffix);
    // Asked again, a connection keeps the challenge its login is checked against.
    EXPECT_EQ(challengeOf(client), challenge);
    digits.insert(challenge.substr(0, 12));
    ids.insert(state->clientId);
  }
  EXPECT_EQ(digits.size(), kConnections);
  EXPECT_EQ(ids.size(), kConnections);
}

// A login captured on the wire, replayed on a later connection that the
// client-id counter, come round, would give the victim's id.
TEST_F(Login, ReplayedLoginIsRefusedAndTheVictimKeepsItsSession) {
  setLoginScript(2, "pw");
  RawClient victim(port);
  const std::string challenge = challengeOf(victim);
  ASSERT_EQ(challenge.size(), 16u);
  const std::string text = "+u:" + challenge + ":" + zeltest::expectedLoginDigest(challenge, "u", "pw") + "+";
  const Bytes login = registerPayload(0x01000000, 1, static_cast<uint8_t>(text.size()), text);
  const auto granted = victim.call(kCmdRegister, login);
  ASSERT_TRUE(granted);
  ASSERT_EQ(granted->payload.size(), 4u);
  ASSERT_EQ(granted->payload[1], 2);
  const uint16_t victimId = zeltest::readU16(&granted->payload[2]);

  struct Case {
    const char* name;
    bool asksChallenge;
  };
  const Case cases[] = {{"replayed at once", false}, {"replayed after asking a challenge", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setClientIdCounter(static_cast<uint16_t>(victimId - 1));
    RawClient thief(port);
    const auto thiefState = loginState(thief);
    ASSERT_TRUE(thiefState);
    EXPECT_NE(thiefState->clientId, victimId);
    EXPECT_NE(thiefState->clientId, 0);
    if (c.asksChallenge) {
      EXPECT_NE(challengeOf(thief), challenge);
    }
    const auto refused = thief.call(kCmdRegister, login);
    ASSERT_TRUE(refused);
    ASSERT_EQ(refused->payload.size(), 4u);
    EXPECT_EQ(Bytes(refused->payload.begin(), refused->payload.begin() + 2), (Bytes{0, 0}));
    EXPECT_EQ(echoLevel(thief), 0);
    // The victim keeps its id, its level and its answers.
    const auto victimState = loginState(victim);
    ASSERT_TRUE(victimState);
    EXPECT_EQ(victimState->clientId, victimId);
    EXPECT_EQ(victimState->level, 2);
    EXPECT_EQ(echoLevel(victim), 2);
    const zelkit::ZelSessionRef found = server.getSession(victimId);
    ASSERT_TRUE(found);
    EXPECT_EQ(found, sessionOf(server, victim));
  }
}

TEST_F(Login, ClientIdZeroIsNeverGiven) {
  setClientIdCounter(0xFFFE);
  RawClient last(port);
  const auto lastState = loginState(last);
  ASSERT_TRUE(lastState);
  EXPECT_EQ(lastState->clientId, 0xFFFF);
  RawClient wrapped(port);
  const auto wrappedState = loginState(wrapped);
  ASSERT_TRUE(wrappedState);
  EXPECT_EQ(wrappedState->clientId, 1);
  EXPECT_FALSE(server.getSession(0));
}

// A connection gives its id back when it closes, and only once: closing
// it again, through a session the application still holds, frees nothing.
TEST_F(Login, AClosedConnectionGivesItsClientIdBackOnce) {
  auto first = std::make_unique<RawClient>(port);
  const zelkit::ZelSessionRef kept = sessionOf(server, *first);
  ASSERT_TRUE(kept);
  const auto firstState = loginState(*first);
  ASSERT_TRUE(firstState);
  const uint16_t id = firstState->clientId;
  first.reset();
  zelkit::detail::Connection* closed = static_cast<TestSession*>(kept.get())->getConnection();
  ASSERT_TRUE(waitUntil([&] {
    zelkit::detail::GlobalLock lock;
    return closed->state == zelkit::detail::ConnectionState::Failed;
  }));

  setClientIdCounter(static_cast<uint16_t>(id - 1));
  RawClient second(port);
  const auto secondState = loginState(second);
  ASSERT_TRUE(secondState);
  EXPECT_EQ(secondState->clientId, id);

  kept->disconnect();
  setClientIdCounter(static_cast<uint16_t>(id - 1));
  RawClient third(port);
  const auto thirdState = loginState(third);
  ASSERT_TRUE(thirdState);
  EXPECT_NE(thirdState->clientId, id);
}

TEST_F(Login, AcceptIsRefusedWhileEveryClientIdIsHeld) {
  RawClient open(port);
  ASSERT_TRUE(loginState(open));
  std::vector<uint16_t> held;
  {
    zelkit::detail::GlobalLock lock;
    while (const uint16_t id = zelkit::detail::takeAcceptedClientId()) held.push_back(id);
  }
  EXPECT_EQ(held.size(), 0xFFFEu);  // all but the open connection's and 0
  {
    RawClient refused(port);
    ASSERT_TRUE(refused.connected());
    const auto answer = refused.readToEnd(5s);
    ASSERT_TRUE(answer) << "the connection stays open";
    EXPECT_TRUE(answer->empty());
  }
  EXPECT_TRUE(loginState(open));
  {
    zelkit::detail::GlobalLock lock;
    for (const uint16_t id : held) zelkit::detail::releaseAcceptedClientId(id);
  }
  RawClient later(port);
  const auto state = loginState(later);
  ASSERT_TRUE(state);
  EXPECT_NE(state->clientId, 0);
}

TEST_F(Login, CheckAuthenticationTakesShortAndLongPasswordsAsPlain) {
  RawClient client(port);
  const zelkit::ZelSessionRef session = sessionOf(server, client);
  ASSERT_TRUE(session);
  auto* test = static_cast<TestSession*>(session.get());
  const std::string challenge = challengeOf(client);
  const std::string digest = zeltest::expectedLoginDigest(challenge, "u", "pw");
  const std::string of31(31, 'a');
  const std::string of32(32, 'b');
  const std::string of33(33, 'c');
  struct Case {
    const char* name;
    std::string expected;
    const char* received;
    bool accepted;
  };
  const Case cases[] = {
      {"same plain password", "pw", "pw", true},
      {"case differs", "pw", "PW", false},
      {"31 characters, same", of31, of31.c_str(), true},
      {"33 characters, same", of33, of33.c_str(), true},
      {"32 characters are a digest, not a password", of32, of32.c_str(), false},
      {"the digest", "pw", digest.c_str(), true},
      {"no password", "pw", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(test->checkAuthentication("u", c.expected.c_str(), c.received), c.accepted);
  }
}

TEST_F(Login, MediaCommandsOfAPlainServer) {
  RawClient client(port);
  struct Case {
    const char* name;
    uint32_t tag;
    int level;
    uint8_t mode;
    Bytes answer;
  };
  const Case cases[] = {
      {"disconnect before login", kCmdDisconnectPrimitive, 0, zeltest::kModeErrorReply, {0xA0}},
      {"disconnect (message word) before login", 0xFF0D0031, 0, zeltest::kModeErrorReply, {0xA0}},
      {"connect before login", kCmdConnectPrimitive, 0, zeltest::kModeErrorReply, {0xA0}},
      {"keep-alive of no session", kCmdKeepAlive, 0, zeltest::kModeErrorReply, {0xB0}},
      {"stream list of no session", kCmdStreamList, 0, zeltest::kModeReply, {}},
      {"disconnect of no session", kCmdDisconnectPrimitive, 1, zeltest::kModeReply, {1}},
      {"connect, refused by the default factory", kCmdConnectPrimitive, 1, zeltest::kModeErrorReply, {0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.level != 0) {
      ASSERT_TRUE(rawLogin(client, c.level));
    }
    const auto reply = client.call(c.tag, {}, 0x80000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->header.mode(), c.mode);
    EXPECT_EQ(reply->payload, c.answer);
  }
}

}  // namespace
