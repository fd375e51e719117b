// After System::terminate() no worker enforces time-outs any more, so a
// synchronous request must end by itself: the ones waiting end at once
// with ResponseTimeout, and a new one fails the same way straight away.
// (The engine cannot run again in this process.)

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "core/engine/lock.h"
#include "core/engine/own_reply_frames.h"
#include "core/wire/stream_access.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"
#include "zelkit/system.h"

namespace {

using namespace std::chrono_literals;
using namespace ownreply;
using zelkit::ZelClient;

// Detached, so that a request that never ends fails the test instead of
// hanging it.
std::future<int> detachedSyncRequest(ZelClient& client, bool holdingTheLibraryLock) {
  auto outcome = std::make_shared<std::promise<int>>();
  auto ended = outcome->get_future();
  std::thread([&client, outcome, holdingTheLibraryLock] {
    std::unique_ptr<zelkit::detail::GlobalLock> lock;
    if (holdingTheLibraryLock) lock = std::make_unique<zelkit::detail::GlobalLock>();
    zelkit::ZelInputStream response;
    int errorCode = 0;
    client.sendRequest(5000, kSync, response);  // longer than the test
    zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
    outcome->set_value(errorCode);
  }).detach();
  return ended;
}

TEST(Terminate, SynchronousRequestsEndWithResponseTimeout) {
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::reply());
  device.start();
  // Never destroyed: nothing of the engine runs after terminate.
  static ZelClient& client = *new ZelClient(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  static ZelClient& other = *new ZelClient(("zelp://HookOn2@" + device.endpoint()).c_str(), 0, 0);
  ASSERT_TRUE(loggedIn(client));
  ASSERT_TRUE(loggedIn(other));

  const size_t seen = device.frames().size();
  // One caller receives its own reply; one holds the lock and sleeps.
  auto receiving = detachedSyncRequest(client, false);
  auto sleeping = detachedSyncRequest(other, true);
  ASSERT_TRUE(device.waitForFrameCount(seen + 2, 5000ms));
  zelkit::System::terminate();
  ASSERT_EQ(receiving.wait_for(2s), std::future_status::ready) << "a receiving caller waits on";
  ASSERT_EQ(sleeping.wait_for(2s), std::future_status::ready) << "a sleeping caller waits on";
  EXPECT_EQ(receiving.get(), zelkit::ResponseTimeout);
  EXPECT_EQ(sleeping.get(), zelkit::ResponseTimeout);

  auto later = detachedSyncRequest(client, false);
  ASSERT_EQ(later.wait_for(2s), std::future_status::ready) << "a request after terminate waits";
  EXPECT_EQ(later.get(), zelkit::ResponseTimeout);
}

}  // namespace
