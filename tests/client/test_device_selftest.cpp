// The test device driven by a plain socket client, so that the device can be
// trusted by the tests that use it against the library.

#include "support/test_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace zeltest {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kTagSetStorageList = 0x0A370C31;

// A blocking client socket with bounded reads.
class PlainClient {
 public:
  explicit PlainClient(const TestDevice& device) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(device.port());
    ::inet_pton(AF_INET, device.address().c_str(), &address.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~PlainClient() { ::close(fd_); }

  bool connected() const { return connected_; }

  void send(const Bytes& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
  void send(const std::string& text) { send(Bytes(text.begin(), text.end())); }

  // Up to count bytes; fewer when the device closes or nothing comes in time.
  Bytes read(size_t count, std::chrono::milliseconds timeout = 5s) {
    Bytes out;
    while (out.size() < count) {
      pollfd pfd{fd_, POLLIN, 0};
      if (::poll(&pfd, 1, static_cast<int>(timeout.count())) != 1) break;
      uint8_t buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
      if (n <= 0) break;
      out.insert(out.end(), buffer, buffer + n);
    }
    return out;
  }

  // One frame by its TPKT length; empty when none came.
  Bytes readFrame() {
    Bytes frame = read(4);
    if (frame.size() < 4) return {};
    const size_t length = size_t(frame[2]) << 8 | frame[3];
    if (length > 4) {
      const Bytes rest = read(length - 4);
      frame.insert(frame.end(), rest.begin(), rest.end());
    }
    return frame;
  }

  bool resetByPeer() {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 5000) != 1) return false;
    uint8_t byte;
    return ::recv(fd_, &byte, 1, 0) < 0 && errno == ECONNRESET;
  }

  bool closedByPeer() {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 5000) != 1) return false;
    uint8_t byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// The client's frames, written byte by byte here rather than with the
// device's codec.
Bytes request(uint32_t tag, uint8_t transactionId, const Bytes& payload = {}) {
  const size_t length = 20 + payload.size();
  Bytes out = {3, 0, uint8_t(length >> 8), uint8_t(length), uint8_t(tag >> 24), uint8_t(tag >> 16), uint8_t(tag >> 8),
               uint8_t(tag), 0, transactionId, 0, 0, 0, 0, 0, 9, 0, 1, uint8_t(payload.size() >> 8),
               uint8_t(payload.size())};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes registerPayload(uint32_t kind, const std::string& text, uint16_t extra = 0) {
  const uint16_t length = static_cast<uint16_t>(text.size() + extra);
  Bytes out = {uint8_t(kind >> 24), uint8_t(kind >> 16), uint8_t(kind >> 8), uint8_t(kind), uint8_t(length >> 8),
               uint8_t(length), 0, 1, 0xFF, 0x03};
  for (const char c : text) out.push_back(static_cast<uint8_t>(c));
  return out;
}

Bytes payloadOf(const Bytes& frame) { return Bytes(frame.begin() + 20, frame.end()); }

TEST(TestDevice, FrameBuilderMatchesTheWireLayout) {
  EXPECT_EQ(request(0x002F1030, 7), (Bytes{0x03, 0x00, 0x00, 0x14, 0x00, 0x2F, 0x10, 0x30, 0x00, 0x07, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x09, 0x00, 0x01, 0x00, 0x00}));
}

// Digests from `md5sum` and Python's hashlib over "+challenge+++user:pw+".
constexpr const char* kDigestFullChallenge = "79d81eb30736661d99c1871b4139b522";  // challenge 0123456789abcdef
constexpr const char* kDigestShortChallenge = "8fdd1fc14c5a608bd762045ca23d2ddb";  // challenge ab

TEST(TestDevice, RegistrationOutcomes) {
  using Outcome = Registration::Outcome;
  struct Case {
    const char* name;
    Bytes payload;
    Outcome outcome;
  };
  const std::string response = std::string("+user:0123456789abcdef:") + kDigestFullChallenge + "+";
  const std::string wrongDigest = "+user:0123456789abcdef:00000000000000000000000000000000+";
  const Case cases[] = {
      {"challenge response", registerPayload(0x01000000, response, 256), Outcome::Accepted},
      {"wrong digest", registerPayload(0x01000000, wrongDigest, 256), Outcome::Refused},
      {"plain credentials", registerPayload(0x01000000, "+user:pw+"), Outcome::Accepted},
      {"plain, wrong password", registerPayload(0x01000000, "+user:px+"), Outcome::Refused},
      {"unknown user", registerPayload(0x01000000, "+other:pw+"), Outcome::Refused},
      {"hook-on 7", registerPayload(0x02000007, ""), Outcome::Accepted},
      {"message-id update", registerPayload(0x00000000, ""), Outcome::MessageIdUpdate},
  };
  TestDevice device;
  device.addAccount("user", "pw");
  LoginRules rules;
  rules.challenge = Bytes{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  rules.clientId = 0x1234;
  device.setLoginRules(rules);
  device.start();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    PlainClient client(device);
    ASSERT_TRUE(client.connected());
    client.send(request(0xFF000C31, uint8_t(i), cases[i].payload));
    const Bytes reply = client.readFrame();
    ASSERT_EQ(reply.size(), cases[i].outcome == Outcome::Refused ? 21u : 24u);
    EXPECT_EQ(reply[9], uint8_t(i));
    if (cases[i].outcome == Outcome::Refused) {
      EXPECT_EQ(reply[8], 3);
      EXPECT_EQ(payloadOf(reply), Bytes{0xA0});
    } else {
      EXPECT_EQ(reply[8], 1);
      EXPECT_EQ(payloadOf(reply), (Bytes{1, 3, 0x12, 0x34}));
    }
    const auto registration = device.waitForRegistration(5s, i);
    ASSERT_TRUE(registration);
    EXPECT_EQ(registration->outcome, cases[i].outcome);
    EXPECT_EQ(registration->request.messageIds, std::vector<uint16_t>{0xFF03});
  }
  EXPECT_TRUE(device.protocolErrors().empty());
}

TEST(TestDevice, ChallengeWithZeroByteShortensTheText) {
  TestDevice device;
  device.addAccount("user", "pw");
  LoginRules rules;
  rules.challenge = Bytes{'a', 'b', 0, 'x', 'y', 'z', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};
  device.setLoginRules(rules);
  device.start();
  PlainClient client(device);
  client.send(request(0xFF050C30, 1));
  const Bytes challenge = client.readFrame();
  EXPECT_EQ(payloadOf(challenge), rules.challenge);
  client.send(request(0xFF000C31, 2, registerPayload(0x01000000, std::string("+user:ab:") + kDigestShortChallenge + "+", 256)));
  EXPECT_EQ(payloadOf(client.readFrame()), (Bytes{1, 3, 0x01, 0x01}));
}

TEST(TestDevice, RefusedChallengeIsErrorInvalidCmd) {
  TestDevice device;
  LoginRules rules;
  rules.challengeSupported = false;
  device.setLoginRules(rules);
  device.start();
  PlainClient client(device);
  client.send(request(0xFF050C30, 4));
  const Bytes reply = client.readFrame();
  ASSERT_EQ(reply.size(), 21u);
  EXPECT_EQ(reply[8], 3);
  EXPECT_EQ(reply[20], 0x40);
}

TEST(TestDevice, ScriptedRules) {
  struct Case {
    const char* name;
    Rule rule;
    std::vector<Bytes> expectedFrames;  // mode byte and payload of each frame
  };
  Rule fragmented = Rule::reply({1, 2, 3, 4, 5});
  fragmented.fragmentSize = 2;
  Rule delayed = Rule::reply({9});
  delayed.delay = 300ms;
  Rule requestMode = Rule::reply({4});
  requestMode.modeByte = kModeRequest;
  const Case cases[] = {
      {"reply", Rule::reply({0xAA, 0xBB}), {{0x01, 0xAA, 0xBB}}},
      {"echo", Rule::echo(), {{0x01, 7, 7}}},
      {"error", Rule::error(0x41), {{0x03, 0x41}}},
      {"extended error", Rule::error(0xF012), {{0x03, 0xF0, 0x12}}},
      {"fragmented", fragmented, {{0x81, 1, 2}, {0x81, 3, 4}, {0x01, 5}}},
      {"delayed", delayed, {{0x01, 9}}},
      {"mode byte chosen", requestMode, {{0x00, 4}}},
      {"silent", Rule::silent(), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestDevice device;
    device.setRule(kTagSetStorageList, c.rule);
    device.start();
    PlainClient client(device);
    const auto sent = Clock::now();
    client.send(request(kTagSetStorageList, 0x33, {7, 7}));
    for (const Bytes& expected : c.expectedFrames) {
      const Bytes frame = client.readFrame();
      ASSERT_GE(frame.size(), 20u);
      EXPECT_EQ(Bytes(frame.begin() + 4, frame.begin() + 8), (Bytes{0x0A, 0x37, 0x0C, 0x31}));
      EXPECT_EQ(frame[9], 0x33);
      Bytes modeAndPayload = {frame[8]};
      modeAndPayload.insert(modeAndPayload.end(), frame.begin() + 20, frame.end());
      EXPECT_EQ(modeAndPayload, expected);
    }
    if (c.rule.delay > 0ms) {
      EXPECT_GE(Clock::now() - sent, c.rule.delay);
    }
    EXPECT_TRUE(client.read(1, 200ms).empty());
    const auto recorded = device.waitForTag(kTagSetStorageList, 5s);
    ASSERT_TRUE(recorded);
    EXPECT_EQ(recorded->payload, (Bytes{7, 7}));
    EXPECT_EQ(recorded->header.transactionId, 0x33);
    EXPECT_EQ(recorded->header.sessionId, 9u);
    EXPECT_EQ(recorded->header.num, 1);
  }
}

TEST(TestDevice, EchoJoinsTheFragmentsOfARequest) {
  TestDevice device;
  device.setRule(kTagSetStorageList, Rule::echo());
  device.start();
  PlainClient client(device);
  Bytes first = request(kTagSetStorageList, 4, {1, 2});
  first[8] = kMoreFragments;
  client.send(first);
  client.send(request(kTagSetStorageList, 4, {3}));
  const Bytes frame = client.readFrame();
  ASSERT_EQ(frame.size(), 23u);
  EXPECT_EQ(frame[9], 4);
  EXPECT_EQ(payloadOf(frame), (Bytes{1, 2, 3}));
}

TEST(TestDevice, ResetAfterAnsweringSome) {
  TestDevice device;
  Rule rule = Rule::reply({5});
  rule.resetAfter = 2;
  device.setRule(kTagSetStorageList, rule);
  device.start();
  PlainClient client(device);
  for (uint8_t id = 1; id <= 2; ++id) {
    client.send(request(kTagSetStorageList, id));
    EXPECT_EQ(payloadOf(client.readFrame()), Bytes{5});
  }
  client.send(request(kTagSetStorageList, 3));
  EXPECT_TRUE(client.resetByPeer());
  EXPECT_TRUE(device.waitForClosed(0, 5s));
}

TEST(TestDevice, TunnelRequestThenFramesInTheSameSegment) {
  TestDevice device;
  device.start();
  PlainClient client(device);
  const Bytes liveCheck = request(0x002F1030, 5);
  std::string text = "GET /zel_tunnel HTTP/1.0\r\nHost: 127.0.0.1\r\nAuthorization: Basic Y29va2llOnB3\r\n\r\n";
  text.append(liveCheck.begin(), liveCheck.end());
  client.send(text);
  const Bytes reply = client.readFrame();
  ASSERT_EQ(reply.size(), 20u);
  EXPECT_EQ(reply[8], 1);
  EXPECT_EQ(reply[9], 5);
  const auto tunnel = device.tunnelRequest(0);
  ASSERT_TRUE(tunnel);
  EXPECT_EQ(tunnel->requestLine, "GET /zel_tunnel HTTP/1.0");
  EXPECT_EQ(tunnel->host, "127.0.0.1");
  EXPECT_EQ(tunnel->user, "cookie");
  EXPECT_EQ(tunnel->password, "pw");
}

TEST(TestDevice, KeepAliveAndMessagesAreDevicePushed) {
  TestDevice device;
  device.start();
  PlainClient client(device);
  ASSERT_TRUE(device.waitForConnectionCount(1, 5s));
  ASSERT_TRUE(device.sendKeepAlive(0, 0x05));
  EXPECT_EQ(client.readFrame(), (Bytes{0x03, 0x00, 0x00, 0x14, 0xFF, 0x03, 0x00, 0x30, 0x02, 0x05, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
  ASSERT_TRUE(device.pushMessage(0, 0x0A010030, 0x06, {1, 2}));
  const Bytes message = client.readFrame();
  ASSERT_EQ(message.size(), 22u);
  EXPECT_EQ(message[8], 2);
  EXPECT_EQ(message[9], 6);
  // The keep-alive answer is recorded and not answered.
  client.send(request(0x002F0830, 9));
  EXPECT_TRUE(device.waitForTag(0x002F0830, 5s));
  EXPECT_TRUE(client.read(1, 200ms).empty());
}

TEST(TestDevice, ReplyFaults) {
  struct Case {
    const char* name;
    Fault fault;
    size_t bytesSent;
    bool closes;
  };
  const Case cases[] = {
      {"bad version", Fault::BadVersion, 22, false},
      {"length below 20", Fault::LengthBelow20, 16, false},
      {"payload length past frame", Fault::PayloadLengthPastFrame, 22, false},
      {"close mid-frame", Fault::CloseMidFrame, 11, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestDevice device;
    Rule rule = Rule::reply({0xAB, 0xCD});
    rule.fault = c.fault;
    device.setRule(kTagSetStorageList, rule);
    device.start();
    PlainClient client(device);
    client.send(request(kTagSetStorageList, 1));
    const Bytes got = client.read(64, 300ms);
    ASSERT_EQ(got.size(), c.bytesSent);
    switch (c.fault) {
      case Fault::BadVersion:
        EXPECT_EQ(got[0], 4);
        break;
      case Fault::LengthBelow20:
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{3, 0, 0, 16}));
        break;
      case Fault::PayloadLengthPastFrame:
        EXPECT_EQ(got[8], 0x41);
        EXPECT_EQ(got[19], 3);
        break;
      default:
        break;
    }
    EXPECT_EQ(device.waitForClosed(0, c.closes ? 5s : 100ms), c.closes);
  }
}

TEST(TestDevice, SlowWritesDeliverTheSameBytes) {
  for (const WriteStyle style : {WriteStyle::ByteByByte, WriteStyle::SplitHeader}) {
    TestDevice device;
    device.setWriteStyle(style);
    device.setRule(kTagSetStorageList, Rule::reply({1, 2, 3}));
    device.start();
    PlainClient client(device);
    client.send(request(kTagSetStorageList, 2));
    const Bytes frame = client.readFrame();
    ASSERT_EQ(frame.size(), 23u);
    EXPECT_EQ(payloadOf(frame), (Bytes{1, 2, 3}));
  }
}

TEST(TestDevice, MalformedClientInputIsRecordedAndCloses) {
  struct Case {
    const char* name;
    Bytes bytes;
  };
  Bytes pastEnd = request(kTagSetStorageList, 1, {1});
  pastEnd[8] = 0x40;
  pastEnd[19] = 2;
  const Case cases[] = {
      {"bad version", {4, 0, 0, 20}},
      {"length below 20", {3, 0, 0, 19}},
      {"payload length past frame", pastEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestDevice device;
    device.start();
    PlainClient client(device);
    client.send(c.bytes);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_EQ(device.protocolErrors().size(), 1u);
    EXPECT_TRUE(device.frames().empty());
  }
}

TEST(TestDevice, SilentDeviceAndPromptStop) {
  TestDevice device("127.0.0.2");
  device.setSilent(true);
  Rule slow = Rule::reply();
  slow.delay = 60s;
  device.setDefaultRule(slow);
  device.start();
  EXPECT_EQ(device.endpoint(), "127.0.0.2:" + std::to_string(device.port()));
  PlainClient first(device);
  PlainClient second(device);
  first.send(request(0xFF050C30, 1));
  second.send(request(0x0A000000, 2));
  ASSERT_TRUE(device.waitForFrameCount(2, 5s));
  EXPECT_TRUE(first.read(1, 200ms).empty());
  EXPECT_EQ(device.connectionCount(), 2);
  device.setSilent(false);
  second.send(request(0x0A000000, 3));  // answered only after a minute
  ASSERT_TRUE(device.waitForFrameCount(3, 5s));
  const auto before = Clock::now();
  device.stop();
  EXPECT_LT(Clock::now() - before, 5s);
  EXPECT_TRUE(first.closedByPeer());
}

}  // namespace
}  // namespace zeltest
