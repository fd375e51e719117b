// The replay client against a scripted device built on the library's own
// server: handlers answer with slices and record the moves, and the test
// pushes end-of-slice messages.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "client/replay/replay_test_util.h"
#include "core/engine/lock.h"
#include "support/raw_client.h"
#include "zelkit/server.h"
#include "zelkit/system.h"

namespace {

using namespace replaytest;
using namespace std::chrono_literals;
using zelkit::ZelReplayClient;

// One request of replay control as the device's handler saw it.
struct Move {
  uint32_t tag;
  Bytes payload;
  uint32_t sessionId;
};

// What the handlers answer and what they saw. Handlers run on the
// library's worker; the test reads under the mutex.
struct Script {
  std::mutex mutex;
  std::condition_variable changed;
  Bytes slices;
  // The slice-list request waits for the test to answer it, so that the
  // event callback is in place before the reply comes.
  std::optional<std::pair<zelkit::ZelSessionRef, zelkit::ZelHeader>> heldSliceList;
  Bytes speedReply = u32(1);
  std::vector<Move> moves;

  // The moves from index `from` on, once there are `count` of them.
  std::vector<Move> waitForMoves(size_t from, size_t count, milliseconds timeout = 3s) {
    std::unique_lock<std::mutex> guard(mutex);
    changed.wait_for(guard, timeout, [&] { return moves.size() >= from + count; });
    if (moves.size() < from) return {};
    return std::vector<Move>(moves.begin() + static_cast<long>(from), moves.end());
  }
  size_t moveCount() {
    std::lock_guard<std::mutex> guard(mutex);
    return moves.size();
  }
};
Script& script() {
  static Script* const instance = new Script();
  return *instance;
}

void onSliceList(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream&) {
  std::lock_guard<std::mutex> guard(script().mutex);
  script().heldSliceList.emplace(session, header);
  script().changed.notify_all();
}

// Sends the script's slices in reply to the held request.
bool answerHeldSliceList() {
  std::pair<zelkit::ZelSessionRef, zelkit::ZelHeader> held;
  Bytes slices;
  {
    std::unique_lock<std::mutex> guard(script().mutex);
    if (!script().changed.wait_for(guard, 5s, [] { return script().heldSliceList.has_value(); })) return false;
    held = *script().heldSliceList;
    script().heldSliceList.reset();
    slices = script().slices;
  }
  zelkit::ZelOutputStream reply(slices.data(), static_cast<int>(slices.size()));
  held.first->respond(held.second, reply);
  return true;
}

void onMove(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream& payload) {
  Move move{header.tag, Bytes(static_cast<size_t>(payload.available())), header.sessionId};
  if (!move.payload.empty()) payload.read(move.payload.data(), static_cast<int>(move.payload.size()));
  Bytes answer;
  {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().moves.push_back(move);
    script().changed.notify_all();
    if (header.tag == kSpeed) answer = script().speedReply;
  }
  zelkit::ZelOutputStream reply(answer.data(), static_cast<int>(answer.size()));
  session->respond(header, reply);
}

class ReplayDevice : public zelkit::ZelServer {
 public:
  ReplayDevice() {
    registerCallback(kSliceList, onSliceList);
    for (uint32_t tag : {kStop, kSliceEnd, kJump, kSpeed, kVcdLayer, kProfileFilter}) registerCallback(tag, onMove);
  }
  // The worker reads the server under the library lock; taking it here
  // orders those reads before the destruction.
  ~ReplayDevice() { zelkit::detail::GlobalLock lock; }

  // An end-of-slice message to every client.
  void pushEndOfSlice(uint32_t sessionId) {
    zelkit::ZelHeader header(kEndOfSlice, zeltest::kModeMessage, 0, 0, sessionId, 0);
    zelkit::ZelOutputStream none;
    notify(header, none);
  }
};

class ReplayServerDevice : public testing::Test {
 protected:
  void SetUp() override {
    port = zeltest::freeLoopbackPort();
    device.start(port);
    url = "zelp://user:pw@127.0.0.1:" + std::to_string(port);
  }
  std::unique_ptr<ZelReplayClient> connectedClient(const std::vector<zelkit::HddSlice>& slices) {
    {
      std::lock_guard<std::mutex> guard(script().mutex);
      script().slices = encodeSlices(slices);
    }
    auto client = std::make_unique<ZelReplayClient>(url.c_str(), 0, false);
    client->registerEventCallback(EventRecorder::callback, &events);
    if (!answerHeldSliceList() || !events.waitFor(zelkit::ReplayEventSliceList, 5s)) return nullptr;
    return client;
  }

  ReplayDevice device;
  uint16_t port = 0;
  std::string url;
  EventRecorder events;
};

const std::vector<zelkit::HddSlice> kThreeSlices = {slice(1000, 1999), slice(3000, 3999), slice(5000, 5999)};

void expectMoves(const std::vector<Move>& moves, const std::vector<std::pair<uint32_t, Bytes>>& expected,
                 const char* name) {
  ASSERT_EQ(moves.size(), expected.size()) << name;
  for (size_t i = 0; i < moves.size(); ++i) {
    EXPECT_EQ(moves[i].tag, expected[i].first) << name << " #" << i;
    EXPECT_EQ(moves[i].payload, expected[i].second) << name << " #" << i;
  }
}

TEST_F(ReplayServerDevice, EarlySeekIsCarriedOutWhenTheListArrives) {
  {
    std::lock_guard<std::mutex> guard(script().mutex);
    script().slices = encodeSlices(kThreeSlices);
  }
  ZelReplayClient client(url.c_str(), 0, false);
  client.registerEventCallback(EventRecorder::callback, &events);
  {
    std::unique_lock<std::mutex> guard(script().mutex);
    ASSERT_TRUE(script().changed.wait_for(guard, 5s, [] { return script().heldSliceList.has_value(); }));
  }
  client.play(3);  // applies at the move, in four bytes
  client.seek(3500);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(script().moveCount(), 0u) << "nothing moves before the list";

  ASSERT_TRUE(answerHeldSliceList());
  expectMoves(script().waitForMoves(0, 4), {{kStop, {1}}, {kSliceEnd, u32(3999)}, {kJump, u32(3500)}, {kSpeed, u32(3)}},
              "early seek");
  const auto seen = events.events();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0].event, zelkit::ReplayEventSliceList);
  EXPECT_EQ(client.getSlices().size(), 3u);
}

TEST_F(ReplayServerDevice, GapLastSliceAndLayerRules) {
  auto client = connectedClient(kThreeSlices);
  ASSERT_TRUE(client);
  const struct {
    const char* name;
    int layer;  // -1: unchanged
    uint32_t time;
    std::vector<std::pair<uint32_t, Bytes>> moves;
  } cases[] = {
      {"gap: start of the next slice", -1, 2500, {{kStop, {1}}, {kSliceEnd, u32(3999)}, {kJump, u32(3000)}}},
      {"past the end: start of the last", -1, 9000, {{kStop, {1}}, {kSliceEnd, u32(5999)}, {kJump, u32(5000)}}},
      {"inside the current slice: the jump alone", -1, 5100, {{kJump, u32(5100)}}},
      {"layer, gap: end of the slice before",
       1,
       2500,
       {{kVcdLayer, u32(1)}, {kStop, {1}}, {kSliceEnd, u32(1999)}, {kJump, u32(1999)}}},
      {"layer, before all: the first slice's end", -1, 10, {{kJump, u32(1999)}}},
      {"layer, past the end: the last slice's end",
       -1,
       9000,
       {{kStop, {1}}, {kSliceEnd, u32(5999)}, {kJump, u32(5999)}}},
      {"layer off again, gap", 0, 4500, {{kVcdLayer, u32(0)}, {kJump, u32(5000)}}},
  };
  for (const auto& row : cases) {
    const size_t mark = script().moveCount();
    if (row.layer >= 0) client->setVcdLayer(row.layer);
    client->seek(row.time);
    expectMoves(script().waitForMoves(mark, row.moves.size()), row.moves, row.name);
  }
}

TEST_F(ReplayServerDevice, SeekUtcTakesTheWantedOccurrence) {
  // In UTC the first slice spans 8200..9199 and the second 9000..9999.
  auto client = connectedClient({slice(10000, 10999, kOffsetPlus1800), slice(9000, 9999)});
  ASSERT_TRUE(client);
  client->seekUtc(9100, 2);
  expectMoves(script().waitForMoves(0, 3), {{kStop, {1}}, {kSliceEnd, u32(9999)}, {kJump, u32(9100)}},
              "second occurrence");
  EXPECT_EQ(client->getCurrentLocaltimeOffset(), 0);
  client->seekUtc(9100, 1);
  expectMoves(script().waitForMoves(3, 3), {{kStop, {1}}, {kSliceEnd, u32(10999)}, {kJump, u32(10900)}},
              "first occurrence, in local time");
  EXPECT_EQ(client->getCurrentLocaltimeOffset(), 1800);
}

TEST_F(ReplayServerDevice, SeekOnAnEmptyListRaisesAnErrorAMillisecondLater) {
  auto client = connectedClient({});
  ASSERT_TRUE(client);
  EXPECT_TRUE(client->getSlices().empty());
  const size_t mark = events.count();
  client->seek(1000);
  const auto error = events.waitFor(zelkit::ReplayEventError, 3s, mark);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->value, 0);
  EXPECT_NE(error->thread, std::this_thread::get_id()) << "raised by the timer, not inside seek";
  EXPECT_EQ(script().moveCount(), 0u);
}

TEST_F(ReplayServerDevice, EndOfSliceMessagesMoveBackOnTheLayerOrStop) {
  auto client = connectedClient(kThreeSlices);
  ASSERT_TRUE(client);
  client->setVcdLayer(1);
  client->play(4);
  expectMoves(script().waitForMoves(0, 2), {{kVcdLayer, u32(1)}, {kSpeed, {4}}}, "play: one octet");
  ASSERT_TRUE(events.waitFor(zelkit::ReplayEventPlayState, 3s));
  client->seek(5500);
  expectMoves(script().waitForMoves(2, 4), {{kStop, {1}}, {kSliceEnd, u32(5999)}, {kJump, u32(5500)}, {kSpeed, u32(4)}},
              "slice change: four bytes");

  // A message of another media session is not this client's.
  device.pushEndOfSlice(0x1234);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(script().moveCount(), 6u);

  const struct {
    const char* name;
    std::vector<std::pair<uint32_t, Bytes>> moves;
  } backwards[] = {
      {"to the end of the middle slice", {{kStop, {1}}, {kSliceEnd, u32(3999)}, {kJump, u32(3999)}, {kSpeed, u32(4)}}},
      {"to the end of the first slice", {{kStop, {1}}, {kSliceEnd, u32(1999)}, {kJump, u32(1999)}, {kSpeed, u32(4)}}},
  };
  for (const auto& row : backwards) {
    const size_t mark = script().moveCount();
    device.pushEndOfSlice(0);
    expectMoves(script().waitForMoves(mark, row.moves.size()), row.moves, row.name);
  }
  // At the first slice playback stops: state 0, and no request.
  const size_t mark = script().moveCount();
  const size_t eventMark = events.count();
  device.pushEndOfSlice(0);
  const auto stopped = events.waitFor(zelkit::ReplayEventPlayState, 3s, eventMark);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->value, 0);
  EXPECT_EQ(script().moveCount(), mark);
  // The speed went back to 0: the next slice change sends none.
  client->seek(3500);
  expectMoves(script().waitForMoves(mark, 3), {{kStop, {1}}, {kSliceEnd, u32(3999)}, {kJump, u32(3500)}},
              "after the stop");
}

TEST_F(ReplayServerDevice, EndOfSliceWithoutLayerStops) {
  auto client = connectedClient(kThreeSlices);
  ASSERT_TRUE(client);
  client->play(2);
  ASSERT_TRUE(events.waitFor(zelkit::ReplayEventPlayState, 3s));
  client->seek(3500);
  script().waitForMoves(0, 5);
  const size_t eventMark = events.count();
  device.pushEndOfSlice(0);
  const auto stopped = events.waitFor(zelkit::ReplayEventPlayState, 3s, eventMark);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->value, 0);
  EXPECT_EQ(script().moveCount(), 5u);
}

}  // namespace
