#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/scanner/scan_test_util.h"
#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/scanner.h"
#include "zelkit/system.h"

namespace {

using namespace scantest;
using zelkit::System;

constexpr uint32_t kTimerTag = 0x00400020;

std::atomic<int> announcements{0};
void countAnnouncement(void*) { ++announcements; }

// A callback that takes its time, so that others can find it running.
struct SlowCallback {
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  static void run(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    auto* self = static_cast<SlowCallback*>(context);
    self->started = true;
    std::this_thread::sleep_for(500ms);
    self->finished = true;
  }
};

void setTimer(int ms, zelkit::ZelCallback callback, void* context) {
  zelkit::ZelOutputStream none;
  System::setTimer(ms, 0, callback, context, none);
}

using CallbackNotificationHandler = PrivateNetworkTest;

TEST_F(CallbackNotificationHandler, CallbacksWaitForDispatchOneAtATime) {
  System::registerCallbackNotificationHandler(countAnnouncement, nullptr);
  Recorder kept;
  Recorder alsoKept;
  Recorder dropped;
  setTimer(1, Recorder::callback, &kept);
  setTimer(1, Recorder::callback, &dropped);
  setTimer(1, Recorder::callback, &alsoKept);
  ASSERT_TRUE(enginetest::waitUntil([] { return announcements.load() == 3; }, 5s));
  const auto ran = [&] { return kept.count() + alsoKept.count() + dropped.count(); };
  EXPECT_EQ(ran(), 0u);

  // Unregistering drops what waits for the context.
  System::unregisterCallback(Recorder::callback, &dropped);
  System::dispatchCallback();
  ASSERT_EQ(ran(), 1u);
  const Recorder& first = kept.count() == 1 ? kept : alsoKept;
  EXPECT_EQ(first.deliveries()[0].thread, std::this_thread::get_id());
  EXPECT_EQ(first.deliveries()[0].tag, kTimerTag);
  System::dispatchCallback();
  System::dispatchCallback();  // nothing left
  EXPECT_EQ(kept.count(), 1u);
  EXPECT_EQ(alsoKept.count(), 1u);
  EXPECT_EQ(dropped.count(), 0u);

  // The end of a scan waits in the queue too; unregistering drops it.
  Recorder scanned;
  zelkit::NetworkScanner::triggerScan(0, 0, 0, Recorder::callback, &scanned);
  ASSERT_TRUE(enginetest::waitUntil([] { return announcements.load() == 4; }, 5s));
  System::dispatchCallback();  // the scan's timer: the scan ends here
  ASSERT_EQ(announcements.load(), 5);
  System::unregisterCallback(Recorder::callback, &scanned);
  System::dispatchCallback();
  EXPECT_EQ(scanned.count(), 0u);

  // A dispatch running on another thread is waited for.
  SlowCallback slow;
  setTimer(1, SlowCallback::run, &slow);
  ASSERT_TRUE(enginetest::waitUntil([] { return announcements.load() == 6; }, 5s));
  std::thread dispatcher([] { System::dispatchCallback(); });
  ASSERT_TRUE(enginetest::waitUntil([&] { return slow.started.load(); }, 5s));
  System::unregisterCallback(SlowCallback::run, &slow);
  EXPECT_TRUE(slow.finished);
  dispatcher.join();
}

TEST(UnregisterCallback, WaitsForARunningTimerCallbackButNotForItself) {
  SlowCallback slow;
  setTimer(1, SlowCallback::run, &slow);
  ASSERT_TRUE(enginetest::waitUntil([&] { return slow.started.load(); }, 5s));
  System::unregisterCallback(SlowCallback::run, &slow);
  EXPECT_TRUE(slow.finished);

  // On the worker, inside the callback of that context: no wait.
  static std::atomic<bool> returned{false};
  setTimer(1, [](void* context, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    System::unregisterCallback(nullptr, context);
    returned = true;
  }, &returned);
  EXPECT_TRUE(enginetest::waitUntil([] { return returned.load(); }, 5s));
}

using UnregisterEverywhere = PrivateNetworkTest;

// Another function with the same context: the context is what goes.
void otherCallback(void* context, zelkit::ZelHeader& header, zelkit::ZelInputStream& stream) {
  Recorder::callback(context, header, stream);
}

zelkit::detail::Connection* connectionOf(const std::string& url) {
  zelkit::detail::GlobalLock lock;
  for (auto* connection = zelkit::detail::core().connectionList().first(); connection != nullptr;
       connection = connection->next)
    if (url == connection->url) return connection;
  return nullptr;
}

TEST_F(UnregisterEverywhere, NothingOfTheContextIsDeliveredAfterwards) {
  zeltest::TestDevice device;
  device.setRule(0x0A370C31, zeltest::Rule::reply({1}));
  device.setRule(0x0A380C31, zeltest::Rule::silent());
  device.addAccount("user", "pw");
  device.start();
  const std::string url = "zelp://user:pw@" + device.endpoint();
  zelkit::ZelClient client(url.c_str(), 0, 0);
  Recorder gone;
  Recorder stays;
  client.registerMessageCallback(Recorder::callback, &gone);
  zelkit::ZelInputStream reply;
  client.sendRequestSync(3000, 0x0A370C31, zelkit::detail::emptyPayload(), reply);  // registered now
  const int references = System::getInfo(System::InfoClientReferences, &client, nullptr);

  client.sendRequest(300, 0x0A380C31, otherCallback, &gone);  // would time out
  setTimer(1, Recorder::callback, &gone);
  setTimer(1, Recorder::callback, &stays);
  zelkit::NetworkScanner::triggerScan(0, 0, 0, Recorder::callback, &gone);
  zelkit::NetworkScanner::triggerScan(0, 0, 0, Recorder::callback, &stays);
  {
    zelkit::detail::GlobalLock lock;
    zelkit::detail::core().notifyLocal(0x00110020, connectionOf(url));
    System::unregisterCallback(Recorder::callback, &gone);
  }
  EXPECT_EQ(System::getInfo(System::InfoClientReferences, &client, nullptr), references - 1);
  ASSERT_TRUE(waitForEnd(stays));
  EXPECT_TRUE(stays.waitFor(kTimerTag, 1s));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(gone.count(), 0u);
  device.pushMessage(0, 0x0A390C32, 1);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(gone.count(), 0u);
}

}  // namespace
