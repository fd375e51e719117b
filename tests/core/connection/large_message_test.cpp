#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "support/background_process.h"
#include "support/test_device.h"
#include "support/tls_credentials.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

// Large and fragmented messages received by the library's client: from the
// test device, whose frames the test cuts itself, and from tls_peer.py.

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::ZelClient;
using zeltest::Bytes;
namespace LocalEvent = zelkit::detail::LocalEvent;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kEcho = 0x0A010C31;  // tls_peer.py answers it with the payload

Bytes pattern(size_t size, int seed = 0) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i + static_cast<size_t>(seed)) * 13 + i / 251);
  return bytes;
}

// The frames of a reply to request, one per piece length, all but the last
// (unless the reply goes on) with the more-fragments bit; the joined payload
// goes to joined.
Bytes replyFrames(const zeltest::RecordedFrame& request, const std::vector<size_t>& pieces, Bytes& joined,
                  bool goesOn = false) {
  Bytes frames;
  int seed = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    zeltest::FrameHeader header = request.header;
    header.modeByte = zeltest::kModeReply | (i + 1 < pieces.size() || goesOn ? zeltest::kMoreFragments : 0);
    const Bytes piece = pattern(pieces[i], ++seed);
    joined.insert(joined.end(), piece.begin(), piece.end());
    const Bytes frame = zeltest::encodeFrame(header, piece);
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  return frames;
}

class LargeMessages : public testing::Test {
 protected:
  void SetUp() override {
    device.setRule(kCommand, zeltest::Rule::silent());
    device.setRecordPayloads(false);
    device.start();
    zelkit::detail::GlobalLock lock;
    client = std::make_unique<ZelClient>(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    client->registerMessageCallback(Recorder::callback, &events);
  }
  void TearDown() override { client->unregisterCallback(nullptr, &events); }

  // Sends a request and has the device answer it on its connection with
  // the frames made of the pieces; the joined payload goes to joined.
  bool answerInPieces(Recorder& replies, const std::vector<size_t>& pieces, Bytes& joined,
                      zeltest::WriteStyle style = zeltest::WriteStyle::Whole, int connection = 0,
                      bool goesOn = false) {
    const size_t seen = device.framesWithTag(kCommand).size();
    client->sendRequest(60000, kCommand, Recorder::callback, &replies);
    if (!waitUntil([&] { return device.framesWithTag(kCommand).size() > seen; }, 5s)) return false;
    const Bytes frames = replyFrames(device.framesWithTag(kCommand)[seen], pieces, joined, goesOn);
    return device.sendRaw(connection, frames, style);
  }

  zeltest::TestDevice device;
  std::unique_ptr<ZelClient> client;
  Recorder events;
};

TEST_F(LargeMessages, FragmentedRepliesOfEveryShapeAreJoinedExactly) {
  const size_t full = zeltest::kMaxFragmentPayload;
  const size_t largestFrame = 0xFFFF - zeltest::kFrameHeaderSize;
  struct Case {
    const char* name;
    std::vector<size_t> pieces;
    zeltest::WriteStyle style = zeltest::WriteStyle::Whole;
  } cases[] = {
      {"one byte past a frame", {full, 1}},
      {"a megabyte as the library cuts it", std::vector<size_t>(16, full)},
      {"frames of the largest length", {largestFrame, largestFrame, largestFrame}},
      {"empty frames in between", {300, 0, 0, 9}},
      {"an empty first and last frame", {0, 70, 0}},
      {"frames of every size around 4 KiB", {5000, 4095, 4096, 1, largestFrame, 3, 2049, 2048, 4097}},
      {"a thousand frames of three bytes", std::vector<size_t>(1000, 3)},
      {"small frames trickling in byte by byte", {40, 0, 9}, zeltest::WriteStyle::ByteByByte},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder replies;
    Bytes joined;
    ASSERT_TRUE(answerInPieces(replies, c.pieces, joined, c.style));
    const auto reply = replies.waitFor(kCommand, 10s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->errorCode, 0);
    EXPECT_EQ(reply->mode, zelkit::detail::Reply);
    EXPECT_EQ(reply->payload.size(), joined.size());
    EXPECT_TRUE(reply->payload == joined);
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(events.waitFor(LocalEvent::ConnectionClosed, 0ms));
}

// The pieces a connection received before it closed are not continued by
// the frames of the next connection.
TEST_F(LargeMessages, ChainCutByACloseIsNotContinued) {
  Recorder cut;
  Bytes unused;
  const size_t full = zeltest::kMaxFragmentPayload;
  ASSERT_TRUE(answerInPieces(cut, {full, full}, unused, zeltest::WriteStyle::Whole, 0, true));
  EXPECT_FALSE(cut.waitFor(kCommand, 300ms)) << "delivered before its last piece";
  device.closeConnection(0);
  ASSERT_TRUE(events.waitFor(LocalEvent::ConnectionClosed, 5s));
  const auto failed = cut.waitFor(kCommand, 10s);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->errorCode, zelkit::ConnectionReset);

  Recorder next;
  Bytes joined;
  ASSERT_TRUE(answerInPieces(next, {500}, joined, zeltest::WriteStyle::Whole, 1));
  const auto whole = next.waitFor(kCommand, 10s);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->errorCode, 0);
  EXPECT_TRUE(whole->payload == joined);
}

// A connection that has logged in takes joined payloads up to 64 MiB; one
// byte more closes it, and the request fails.
TEST_F(LargeMessages, JoinedRepliesAreBoundedTo64MiB) {
  const size_t bound = zelkit::detail::MAX_JOINED_PAYLOAD;
  const size_t full = zeltest::kMaxFragmentPayload;
  for (const size_t total : {bound, bound + 1}) {
    SCOPED_TRACE(total);
    std::vector<size_t> pieces(total / full, full);
    pieces.push_back(total % full);
    Recorder replies;
    Bytes joined;
    ASSERT_TRUE(answerInPieces(replies, pieces, joined) || total > bound);
    const auto reply = replies.waitFor(kCommand, 60s);
    ASSERT_TRUE(reply);
    if (total <= bound) {
      EXPECT_EQ(reply->errorCode, 0);
      EXPECT_TRUE(reply->payload == joined);
      EXPECT_FALSE(events.waitFor(LocalEvent::ConnectionClosed, 0ms));
    } else {
      EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
      EXPECT_TRUE(events.waitFor(LocalEvent::ConnectionClosed, 5s));
    }
  }
}

long minorFaults() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Once a few large echoes went through, the blocks of the next ones are
// there already: a process that gave them back to the kernel each time
// faulted hundreds of pages in per megabyte, in both directions.
TEST(LargeMessageMemory, EchoesAfterAWarmUpFaultInNoNewPages) {
  zeltest::TlsCredentials credentials;
  zeltest::BackgroundProcess device({"python3", zeltest::tlsPeerScript(), "device", "--cert",
                                     credentials.certificatePath, "--key", credentials.keyPath, "--plain"});
  const auto listening = device.waitForLine("LISTENING ", 10s);
  ASSERT_TRUE(listening);
  const std::string port = listening->substr(listening->find(' ') + 1);
  ZelClient client(("zelp://u:pw@127.0.0.1:" + port).c_str(), 0, 0);
  const Bytes payload = pattern(1 << 20);
  auto echo = [&] {
    zelkit::ZelOutputStream request(payload.data(), static_cast<int>(payload.size()));
    zelkit::ZelInputStream reply;
    client.sendRequest(30000, kEcho, request, reply);
    reply.wait();
    const int length = reply.available();
    return length == static_cast<int>(payload.size()) && std::memcmp(reply.skip(length), payload.data(), payload.size()) == 0;
  };
  constexpr int kWarmUp = 5;
  constexpr int kEchoes = 20;
  for (int i = 0; i < kWarmUp; ++i) ASSERT_TRUE(echo());
  const long before = minorFaults();
  for (int i = 0; i < kEchoes; ++i) ASSERT_TRUE(echo());
  const long faults = minorFaults() - before;
  EXPECT_LE(faults, 64) << static_cast<double>(faults) / kEchoes << " per echo";
}

}  // namespace
