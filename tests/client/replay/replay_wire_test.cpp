// The replay client against the plain-socket test device: the bytes of
// every request, the play states read from replies, a failed slice list.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "client/replay/replay_test_util.h"
#include "support/test_device.h"

namespace {

using namespace replaytest;
using namespace std::chrono_literals;
using zelkit::ZelReplayClient;

class ReplayWire : public testing::Test {
 protected:
  void SetUp() override {
    device.addAccount("user", "pw");
    device.setRule(kSliceList, zeltest::Rule::silent());
    device.start();
    url = "zelp://user:pw@" + device.endpoint();
  }
  // The client, once its slice list has arrived.
  std::unique_ptr<ZelReplayClient> connectedClient(const Bytes& slices, unsigned short num = 0) {
    const size_t mark = device.frames().size();
    auto client = std::make_unique<ZelReplayClient>(url.c_str(), num, false);
    client->registerEventCallback(EventRecorder::callback, &events);
    if (!answerSliceList(device, mark, slices) || !events.waitFor(zelkit::ReplayEventSliceList, 5s)) return nullptr;
    return client;
  }
  // The requests of replay control received from index `from` on, waiting
  // until there are `count` of them.
  std::vector<zeltest::RecordedFrame> controlFrames(size_t from, size_t count) {
    std::vector<zeltest::RecordedFrame> found;
    // Each frame is offered once, in order.
    device.waitForFrame(
        [&](const zeltest::RecordedFrame& frame) {
          if ((frame.header.tag >> 24) == 0x09 || frame.header.tag == kProfileFilter) found.push_back(frame);
          return found.size() >= count;
        },
        3s, from);
    return found;
  }

  zeltest::TestDevice device;
  std::string url;
  EventRecorder events;
};

TEST_F(ReplayWire, RequestsCarryTheirPayloadsByteForByte) {
  // Two slices and eight bytes that make no third.
  Bytes list = encodeSlices({slice(10000, 10999, kOffsetPlus1800, 7), slice(13000, 13999)});
  list.insert(list.end(), 8, 0xEE);
  ASSERT_EQ(list.size(), 40u);
  auto client = connectedClient(list, 5);
  ASSERT_TRUE(client);

  const auto request = device.waitForTag(kSliceList, 1s);
  ASSERT_TRUE(request);
  EXPECT_TRUE(request->payload.empty());
  EXPECT_EQ(request->header.num, 5);
  const auto slices = client->getSlices();
  ASSERT_EQ(slices.size(), 2u);
  EXPECT_EQ(slices[0].start, 10000u);
  EXPECT_EQ(slices[0].end, 10999u);
  EXPECT_EQ(slices[0].info, kOffsetPlus1800);
  EXPECT_EQ(slices[0].flags, 7u);
  EXPECT_EQ(slices[1].start, 13000u);

  const struct Step {
    const char* name;
    std::function<void(ZelReplayClient&)> action;
    std::vector<std::pair<uint32_t, Bytes>> requests;
    int offsetAfter;  // of the current slice
  } steps[] = {
      {"play: one octet", [](ZelReplayClient& c) { c.play(4); }, {{kSpeed, {0x04}}}, 0},
      {"slice change: the speed in four bytes",
       [](ZelReplayClient& c) { c.seek(13500); },
       {{kStop, {0x01}}, {kSliceEnd, u32(13999)}, {kJump, u32(13500)}, {kSpeed, u32(4)}},
       0},
      {"same slice: the jump alone", [](ZelReplayClient& c) { c.seek(13600); }, {{kJump, u32(13600)}}, 0},
      {"utc: the slice's offset added",
       [](ZelReplayClient& c) { c.seekUtc(10100 - 1800, 1); },
       {{kStop, {0x01}}, {kSliceEnd, u32(10999)}, {kJump, u32(10100)}, {kSpeed, u32(4)}},
       1800},
      {"reverse speed: the low byte", [](ZelReplayClient& c) { c.play(-2); }, {{kSpeed, {0xFE}}}, 1800},
      {"layer", [](ZelReplayClient& c) { c.setVcdLayer(2); }, {{kVcdLayer, u32(2)}}, 1800},
      {"stop on the layer: no current slice", [](ZelReplayClient& c) { c.play(0); }, {{kStop, {0x01}}}, 0},
      {"profile filter", [](ZelReplayClient& c) { c.setProfileFilter(0x10203); }, {{kProfileFilter, u32(0x10203)}}, 0},
  };
  for (const Step& step : steps) {
    const size_t mark = device.frames().size();
    step.action(*client);
    const auto frames = controlFrames(mark, step.requests.size());
    ASSERT_EQ(frames.size(), step.requests.size()) << step.name;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].header.tag, step.requests[i].first) << step.name << " #" << i;
      EXPECT_EQ(frames[i].payload, step.requests[i].second) << step.name << " #" << i;
      EXPECT_EQ(frames[i].header.num, 5) << step.name;
    }
    EXPECT_EQ(client->getCurrentLocaltimeOffset(), step.offsetAfter) << step.name;
  }
}

TEST_F(ReplayWire, PlayStateFollowsTheSpeedReplies) {
  auto client = connectedClient({});
  ASSERT_TRUE(client);
  const struct {
    Bytes reply;
    int64_t state;
  } cases[] = {
      {u32(2), 2},
      {u32(0x01000000), 1},  // a device answering in the other byte order
      {{0, 0, 2}, 0},        // any other length
      {u32(0x00FFFFFF), 0x00FFFFFF},
      {{}, 0},
      {u32(0x03000000), 3},
  };
  for (const auto& row : cases) {
    device.setRule(kSpeed, zeltest::Rule::reply(row.reply));
    const size_t mark = events.count();
    client->play(1);
    const auto state = events.waitFor(zelkit::ReplayEventPlayState, 3s, mark);
    ASSERT_TRUE(state) << row.state;
    EXPECT_EQ(state->value, row.state);
  }
  // The same state again raises nothing.
  device.setRule(kSpeed, zeltest::Rule::reply(u32(3)));
  const size_t mark = events.count();
  const size_t framesBefore = device.frames().size();
  client->play(1);
  ASSERT_TRUE(device.waitForTag(kSpeed, 3s, framesBefore));
  EXPECT_FALSE(events.waitFor(zelkit::ReplayEventPlayState, 500ms, mark));
}

TEST_F(ReplayWire, FailedSliceListAndJumpRaiseErrors) {
  ZelReplayClient client(url.c_str(), 0, false);
  client.registerEventCallback(EventRecorder::callback, &events);
  ASSERT_TRUE(answerSliceList(device, 0, zeltest::errorReplyPayload(0x05), zeltest::kModeErrorReply));
  const auto failed = events.waitFor(zelkit::ReplayEventError, 5s);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->value, 5);
  EXPECT_TRUE(client.getSlices().empty());

  // The list failed, so seeks act at once, on no slices.
  const size_t mark = events.count();
  client.seek(1000);
  const auto empty = events.waitFor(zelkit::ReplayEventError, 3s, mark);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->value, 0);
  EXPECT_TRUE(device.framesWithTag(kJump).empty());
}

TEST_F(ReplayWire, RefusedJumpRaisesItsError) {
  device.setRule(kJump, zeltest::Rule::error(0x42));
  auto client = connectedClient(encodeSlices({slice(1000, 1999)}));
  ASSERT_TRUE(client);
  const size_t mark = events.count();
  client->seek(1500);
  const auto refused = events.waitFor(zelkit::ReplayEventError, 3s, mark);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->value, 0x42);
}

}  // namespace
