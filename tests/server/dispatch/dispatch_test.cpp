#include <gtest/gtest.h>

#include <stdexcept>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "server/dispatch/handler_table.h"
#include "server/server_test_util.h"
#include "zelkit/exceptions.h"

namespace {

using namespace servertest;
using zeltest::Frame;
using zeltest::RawClient;

constexpr uint32_t kEcho = 0x0A010C31;
constexpr uint32_t kUnknown = 0x0A020C31;
constexpr uint32_t kThrowsAuthorization = 0x0A030C31;
constexpr uint32_t kThrowsForeign = 0x0A040C31;
constexpr uint32_t kReadsPastEnd = 0x0A050C31;
constexpr uint32_t kShortensLiveCheck = 0x0A060C31;
constexpr uint32_t kFragmented = 0x0A070C31;

// Answers with its payload and a marker byte naming the handler.
template <uint8_t Marker>
void echo(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream& payload) {
  zelkit::ZelOutputStream reply;
  reply.writeOctet(Marker);
  while (payload.available() > 0) reply.writeOctet(payload.readOctet());
  session->respond(header, reply);
}

void throwsAuthorization(zelkit::ZelSessionRef const&, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  zelkit::Exception::doThrow(zelkit::InvalidAuthorizationLevel);
}

void throwsForeign(zelkit::ZelSessionRef const&, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  throw std::runtime_error("not the library's");
}

void readsPastEnd(zelkit::ZelSessionRef const&, zelkit::ZelHeader&, zelkit::ZelInputStream& payload) {
  payload.readULong();
}

void shortensLiveCheck(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  static_cast<TestSession*>(session.get())->setTimeout(1000);
  zelkit::ZelOutputStream empty;
  session->respond(header, empty);
}

TEST(HandlerTable, LaterWordHidesEarlierAndDefaultCatchesTheRest) {
  zelkit::detail::HandlerTable table;
  EXPECT_EQ(table.find(kEcho), nullptr);
  table.insert(kEcho, echo<1>);
  // Same bucket (bits 16-19), other word.
  table.insert(kEcho + 0x100000, echo<2>);
  EXPECT_EQ(table.find(kEcho), echo<1>);
  EXPECT_EQ(table.find(kEcho + 0x100000), echo<2>);
  EXPECT_EQ(table.find(kUnknown), nullptr);
  table.insert(kEcho, echo<3>);
  EXPECT_EQ(table.find(kEcho), echo<3>);
  table.insert(0, echo<4>);
  EXPECT_EQ(table.find(kUnknown), echo<4>);
  EXPECT_EQ(table.find(0), echo<4>);
}

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    server.registerCallback(kEcho, echo<1>);
    server.registerCallback(kThrowsAuthorization, throwsAuthorization);
    server.registerCallback(kThrowsForeign, throwsForeign);
    server.registerCallback(kReadsPastEnd, readsPastEnd);
    server.registerCallback(kShortensLiveCheck, shortensLiveCheck);
    server.registerCallback(kFragmented, echo<5>);
    server.start(port);
  }

  TestServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
};

TEST_F(Dispatch, AnswersAndErrorReplies) {
  RawClient client(port);
  ASSERT_TRUE(client.connected());
  struct Case {
    const char* name;
    uint32_t tag;
    Bytes payload;
    uint8_t mode;
    Bytes answer;
  };
  const Case cases[] = {
      {"handler", kEcho, {7, 8}, zeltest::kModeReply, {1, 7, 8}},
      {"no handler", kUnknown, {}, zeltest::kModeErrorReply, {0x40}},
      {"library exception", kThrowsAuthorization, {}, zeltest::kModeErrorReply, {0xA0}},
      {"foreign exception", kThrowsForeign, {}, zeltest::kModeErrorReply, {0xFF}},
      {"read past the end", kReadsPastEnd, {1, 2}, zeltest::kModeErrorReply, {0x02}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto answer = client.call(c.tag, c.payload, 0x01020304, 0x0506);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->header.mode(), c.mode);
    EXPECT_EQ(answer->payload, c.answer);
    EXPECT_EQ(answer->header.transactionId, client.lastTransactionId());
    EXPECT_EQ(answer->header.sessionId, 0x01020304u);
    EXPECT_EQ(answer->header.num, 0x0506);
  }
}

TEST_F(Dispatch, DefaultHandlerAndLaterRegistration) {
  RawClient client(port);
  server.registerCallback(0, echo<2>);
  auto answer = client.call(kUnknown);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->payload, Bytes{2});
  server.registerCallback(kEcho, echo<3>);
  answer = client.call(kEcho);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->payload, Bytes{3});
}

TEST_F(Dispatch, FragmentsJoinedBeforeTheHandlerAndAMismatchIsDropped) {
  RawClient client(port);
  zeltest::FrameHeader header;
  header.tag = kFragmented;
  header.transactionId = 9;
  const Bytes payload = {1, 2, 3, 4, 5};
  for (const Bytes& frame : zeltest::encodeFragments(header, payload, 2)) ASSERT_TRUE(client.write(frame));
  auto answer = client.readFrame(5s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->payload, (Bytes{5, 1, 2, 3, 4, 5}));

  // A last piece under another word than its first: no request can be made
  // of it, nothing is answered, and the connection carries on.
  header.modeByte = zeltest::kMoreFragments;
  ASSERT_TRUE(client.write(zeltest::encodeFrame(header, Bytes{1})));
  header.tag = kEcho;
  header.modeByte = 0;
  ASSERT_TRUE(client.write(zeltest::encodeFrame(header, Bytes{2})));
  EXPECT_TRUE(client.silentFor(300ms));
  answer = client.call(kEcho, {6});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->payload, (Bytes{1, 6}));
}

TEST_F(Dispatch, NextRequestRestoresTheLiveCheckInterval) {
  RawClient client(port);
  ASSERT_TRUE(client.call(kShortensLiveCheck));
  const zelkit::ZelSessionRef session = sessionOf(server, client);
  ASSERT_TRUE(session);
  const auto interval = [&] {
    zelkit::detail::GlobalLock lock;
    return static_cast<TestSession*>(session.get())->getConnection()->liveCheckIntervalMs;
  };
  EXPECT_EQ(interval(), 1000);
  ASSERT_TRUE(client.call(kEcho));
  EXPECT_EQ(interval(), 540000);
}

}  // namespace
