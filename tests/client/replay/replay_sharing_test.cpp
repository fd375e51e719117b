// Replay clients made by copying and assignment share one controller: the
// last of them frees it and takes its subscription along, and whichever
// is left drives the device.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "client/replay/replay_test_util.h"
#include "support/test_device.h"
#include "zelkit/system.h"

namespace {

using namespace replaytest;
using namespace std::chrono_literals;
using zelkit::ZelReplayClient;

class ReplaySharing : public testing::Test {
 protected:
  void SetUp() override {
    device.addAccount("user", "pw");
    device.setRule(kSliceList, zeltest::Rule::silent());
    device.start();
    url = "zelp://user:pw@" + device.endpoint();
    probe = std::make_unique<zelkit::ZelClient>(url.c_str(), 0, 0);
  }
  // References on the clients' connection: one per client, and one while
  // it has message callbacks.
  int references() { return zelkit::System::getInfo(zelkit::System::InfoClientReferences, probe.get(), nullptr); }
  std::unique_ptr<ZelReplayClient> connectedClient(EventRecorder& events) {
    const size_t mark = device.frames().size();
    auto client = std::make_unique<ZelReplayClient>(url.c_str(), 0, false);
    client->registerEventCallback(EventRecorder::callback, &events);
    if (!answerSliceList(device, mark, encodeSlices({slice(1000, 1999), slice(3000, 3999)})) ||
        !events.waitFor(zelkit::ReplayEventSliceList, 5s))
      return nullptr;
    return client;
  }
  // The payload of the first jump from frame `from` on.
  std::optional<Bytes> jumpFrom(size_t from) {
    const auto frame = device.waitForTag(kJump, 3s, from);
    if (!frame) return std::nullopt;
    return frame->payload;
  }

  zeltest::TestDevice device;
  std::string url;
  std::unique_ptr<zelkit::ZelClient> probe;
};

TEST_F(ReplaySharing, CopyOutlivesTheOriginal) {
  EventRecorder events;
  auto original = connectedClient(events);
  ASSERT_TRUE(original);
  auto copy = std::make_unique<ZelReplayClient>(*original);
  EXPECT_EQ(copy->getSlices().size(), 2u);
  original.reset();

  // The copy drives the device now, and follows its messages.
  copy->setVcdLayer(1);
  size_t mark = device.frames().size();
  copy->seek(3500);
  EXPECT_EQ(jumpFrom(mark), u32(3500));
  mark = device.frames().size();
  ASSERT_TRUE(device.pushMessage(0, kEndOfSlice, 1));
  EXPECT_EQ(jumpFrom(mark), u32(1999));

  copy.reset();
  EXPECT_EQ(references(), 1) << "the subscription went with the last client";
}

TEST_F(ReplaySharing, AssignmentLetsGoOfTheOldController) {
  EventRecorder firstEvents, secondEvents;
  auto first = connectedClient(firstEvents);
  auto second = connectedClient(secondEvents);
  ASSERT_TRUE(first && second);
  // The first controller, left on the layer in the second slice, would
  // answer an end-of-slice message with a move.
  first->setVcdLayer(1);
  size_t mark = device.frames().size();
  first->seek(3500);
  ASSERT_EQ(jumpFrom(mark), u32(3500));

  *first = *second;
  second->setVcdLayer(1);
  mark = device.frames().size();
  first->seek(1500);
  EXPECT_EQ(jumpFrom(mark), u32(1500));

  // The shared controller is in the first slice: the message only stops it.
  second.reset();
  mark = device.frames().size();
  ASSERT_TRUE(device.pushMessage(0, kEndOfSlice, 1));
  EXPECT_FALSE(device.waitForTag(kJump, 500ms, mark)) << "a controller let go of still moves";
  mark = device.frames().size();
  first->seek(3600);
  EXPECT_EQ(jumpFrom(mark), u32(3600));

  first.reset();
  EXPECT_EQ(references(), 1) << "neither controller left a subscription behind";
}

// A client destroyed by its own event callback, in the middle of the
// slice-list handler that still has a seek to carry out.
struct SelfDestroying {
  std::unique_ptr<ZelReplayClient> client;
  std::atomic<bool> destroyed{false};
  static void callback(void* context, zelkit::ReplayEvent event, void*) {
    auto* self = static_cast<SelfDestroying*>(context);
    if (event != zelkit::ReplayEventSliceList) return;
    self->client.reset();
    self->destroyed = true;
  }
};

TEST_F(ReplaySharing, ClientDestroyedFromItsEventCallback) {
  SelfDestroying holder;
  holder.client = std::make_unique<ZelReplayClient>(url.c_str(), 0, false);
  holder.client->registerEventCallback(SelfDestroying::callback, &holder);
  holder.client->seek(1500);
  ASSERT_TRUE(answerSliceList(device, 0, encodeSlices({slice(1000, 1999)})));
  const auto end = Clock::now() + 5s;
  while (!holder.destroyed && Clock::now() < end) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(holder.destroyed);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(device.framesWithTag(kJump).empty()) << "no client is left to move";
  EXPECT_EQ(references(), 1);
}

}  // namespace
