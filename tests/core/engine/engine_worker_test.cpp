#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/lock.h"
#include "support/test_device.h"
#include "zelkit/client.h"

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
using zelkit::detail::core;
using zelkit::detail::GlobalLock;

constexpr uint32_t kCommand = 0x0A370C31;

TEST(EngineWorker, RefusedConnectPostsConnectFailedAndResetsRequests) {
  Recorder events;
  Recorder replies;
  const std::string url = "zelp://127.0.0.1:" + std::to_string(closedPort());
  std::optional<zelkit::ZelClient> client;
  {
    // Everything is in place before the worker can see the refusal.
    GlobalLock lock;
    client.emplace(url.c_str(), 0, 0);
    client->registerMessageCallback(Recorder::callback, &events);
    client->sendRequest(60000, kCommand, Recorder::callback, &replies);
  }
  const auto failed = events.waitFor(zelkit::detail::LocalEvent::ConnectFailed, 5s);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->mode, zelkit::detail::Message);
  EXPECT_EQ(failed->errorCode, 0);
  const auto reply = replies.waitFor(kCommand, 5s);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->errorCode, zelkit::ConnectionReset);
  EXPECT_EQ(reply->sourceUrl, url);
  client->unregisterCallback(nullptr, &events);
}

// Timestamps of a timer's firings.
struct Firings {
  std::mutex mutex;
  std::vector<Clock::time_point> times;
  int blockMs = 0;
  static void callback(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    auto* self = static_cast<Firings*>(context);
    if (self->blockMs > 0) std::this_thread::sleep_for(milliseconds(self->blockMs));
    std::lock_guard<std::mutex> guard(self->mutex);
    self->times.push_back(Clock::now());
  }
  size_t count() {
    std::lock_guard<std::mutex> guard(mutex);
    return times.size();
  }
};

TEST(EngineWorker, IdlePassesComeHalfASecondApart) {
  core().ensureInitialized();
  Firings periodic;
  core().setTimer(100, 100, Firings::callback, &periodic, nullptr);
  ASSERT_TRUE(waitUntil([&] { return periodic.count() >= 5; }, 10s));
  core().setTimer(0, 0, Firings::callback, &periodic, nullptr);
  std::lock_guard<std::mutex> guard(periodic.mutex);
  for (size_t i = 1; i < periodic.times.size(); ++i) {
    const auto gap = std::chrono::duration_cast<milliseconds>(periodic.times[i] - periodic.times[i - 1]).count();
    // Passes start once more than 500 ms have gone by (clocks read in whole ms).
    EXPECT_GE(gap, 495) << "a 100 ms timer fires once per pass";
    EXPECT_LT(gap, 2500);
  }
}

TEST(EngineWorker, BlockedWorkerHandsTheElapsedTimeOn) {
  core().ensureInitialized();
  Firings blocking;
  blocking.blockMs = 3000;
  Firings later;
  {
    GlobalLock lock;
    core().setTimer(1, 0, Firings::callback, &blocking, nullptr);
    core().setTimer(2500, 0, Firings::callback, &later, nullptr);
  }
  ASSERT_TRUE(waitUntil([&] { return later.count() == 1; }, 10s));
  // The pass after the 3 s block takes all 3 s off the second timer, so it
  // fires at once instead of about 2 s later.
  const auto delay = std::chrono::duration_cast<milliseconds>(later.times[0] - blocking.times[0]).count();
  EXPECT_LT(delay, 1200);
}

TEST(EngineWorker, UnknownModeWordIsSkipped) {
  core().ensureInitialized();
  static zelkit::detail::IoOperation stray{};
  stray.mode = 0x12345678;
  zelkit::platform::postCompletion(core().port(), 0, 0, &stray.record);
  Firings after;
  core().setTimer(1, 0, Firings::callback, &after, nullptr);
  EXPECT_TRUE(waitUntil([&] { return after.count() == 1; }, 5s));
}

TEST(EngineWorker, LiveChecksWhileUsedAndReleaseWhenNot) {
  zeltest::TestDevice device;
  device.start();
  zelkit::ZelClient::setDefaultTimeout(1000);
  auto client = std::make_unique<zelkit::ZelClient>(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  client->setLiveCheckInterval(1);
  zelkit::ZelInputStream response;
  client->sendRequest(3000, kCommand, response);
  response.wait();

  const auto first = device.waitForTag(zeltest::kTagLiveCheck, 5s);
  ASSERT_TRUE(first);
  const auto second = device.waitForTag(
      zeltest::kTagLiveCheck, 8s, [&] {
        const auto frames = device.frames();
        for (size_t i = 0; i < frames.size(); ++i)
          if (frames[i].header.tag == zeltest::kTagLiveCheck) return i + 1;
        return frames.size();
      }());
  ASSERT_TRUE(second);
  // The answer restarts the interval.
  EXPECT_GT(std::chrono::duration_cast<milliseconds>(second->time - first->time).count(), 900);

  client.reset();  // the last client goes: the next check releases the connection
  EXPECT_TRUE(device.waitForClosed(0, 8s));
}

TEST(EngineWorker, UnansweredLiveCheckClosesTheConnection) {
  zeltest::TestDevice device;
  device.setRule(zeltest::kTagLiveCheck, zeltest::Rule::silent());
  device.start();
  zelkit::ZelClient::setDefaultTimeout(1000);
  Recorder events;
  std::optional<zelkit::ZelClient> client;
  {
    // Listening before the login can end: its event is posted only to the
    // callbacks registered by then.
    GlobalLock lock;
    client.emplace(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    client->registerMessageCallback(Recorder::callback, &events);
    client->connect();
  }
  client->setLiveCheckInterval(1);
  ASSERT_TRUE(events.waitFor(zelkit::detail::LocalEvent::Registered, 5s));
  const auto check = device.waitForTag(zeltest::kTagLiveCheck, 5s);
  ASSERT_TRUE(check);
  const auto closed = events.waitFor(zelkit::detail::LocalEvent::ConnectionClosed, 5s);
  ASSERT_TRUE(closed);
  // No earlier than the check's time-out.
  EXPECT_GE(std::chrono::duration_cast<milliseconds>(closed->time - check->time).count(), 900);
  EXPECT_TRUE(device.waitForClosed(0, 5s));
  client->unregisterCallback(nullptr, &events);
}

}  // namespace
