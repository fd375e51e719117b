// With a notification handler, callbacks in the frames a synchronous caller
// received with its own reply still wait for the application's
// dispatchCallback: announced on the worker, run on the dispatching thread,
// in the order they came, never inside the caller's sendRequest.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "core/engine/own_reply_frames.h"
#include "core/wire/stream_access.h"
#include "platform/thread.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/system.h"

namespace {

using namespace std::chrono_literals;
using namespace ownreply;
using zelkit::ZelClient;

// The threads the handler was called on.
struct Announcements {
  std::mutex mutex;
  std::vector<uint32_t> threads;

  static void announce(void* context) {
    auto* self = static_cast<Announcements*>(context);
    std::lock_guard<std::mutex> guard(self->mutex);
    self->threads.push_back(zelkit::platform::currentThreadId());
  }
  std::vector<uint32_t> all() {
    std::lock_guard<std::mutex> guard(mutex);
    return threads;
  }
};

// Runs queued callbacks until the log holds count entries (or time runs out).
bool dispatchUntil(CallbackLog& log, size_t count) {
  return enginetest::waitUntil(
      [&] {
        zelkit::System::dispatchCallback();
        return log.count() >= count;
      },
      5000ms);
}

TEST(OwnReplyDispatch, CallbacksTheCallerReceivedWaitForDispatchCallback) {
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
  } const cases[] = {
      {"messages around the reply", {"M1", "S", "M2"}},
      {"reply first", {"S", "A", "M1"}},
      {"callbacks before and after", {"A", "M1", "S", "M2"}},
  };
  // Outlive the test: the connection's close notice comes after it.
  static Announcements& announcements = *new Announcements;
  static CallbackLog& log = *new CallbackLog;
  zelkit::System::registerCallbackNotificationHandler(Announcements::announce, &announcements);
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::reply());
  device.start();
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  {
    zelkit::ZelInputStream response;
    int errorCode = 0;
    client.sendRequest(5000, kAsync, response);
    ASSERT_TRUE(zelkit::detail::StreamAccess::awaitReply(response, &errorCode));  // logged in
  }
  device.setRule(kAsync, zeltest::Rule::silent());
  client.registerMessageCallback(CallbackLog::record, &log);
  const uint32_t worker = zelkit::detail::core().getWorkerThreadId();
  const uint32_t dispatcher = zelkit::platform::currentThreadId();
  uint8_t sequence = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t seen = device.frames().size();
    const size_t logged = log.count();
    const size_t announced = announcements.all().size();
    std::vector<std::string> expected;
    for (const std::string& piece : c.pieces)
      if (piece != "S") expected.push_back(piece);
    const bool withAsync = std::find(c.pieces.begin(), c.pieces.end(), "A") != c.pieces.end();
    zelkit::ZelOutputStream asyncPayload;
    if (withAsync) client.sendRequest(5000, kAsync, asyncPayload, CallbackLog::record, &log);
    uint32_t callerThread = 0;
    size_t loggedWhenAnswered = 0;
    bool answered = false;
    std::thread caller([&] {
      callerThread = zelkit::platform::currentThreadId();
      zelkit::ZelInputStream response;
      int errorCode = 0;
      client.sendRequest(5000, kSync, response);
      answered = zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
      loggedWhenAnswered = log.count();
    });
    const auto syncRequest = device.waitForTag(kSync, 5s, seen);
    const auto asyncRequest = withAsync ? device.waitForTag(kAsync, 5s, seen) : std::nullopt;
    bool sent = false;
    if (syncRequest && (asyncRequest || !withAsync)) {
      std::this_thread::sleep_for(20ms);  // the caller waits for its reply by now
      sent = device.sendRaw(0, oneWrite(c.pieces, *syncRequest, asyncRequest ? &*asyncRequest : nullptr, sequence),
                            zeltest::WriteStyle::Whole);
    }
    caller.join();
    ASSERT_TRUE(sent && answered);
    EXPECT_EQ(loggedWhenAnswered, logged) << "a callback ran without dispatchCallback";
    // Nothing runs until the application dispatches, whoever received.
    EXPECT_TRUE(enginetest::waitUntil([&] { return announcements.all().size() >= announced + expected.size(); },
                                      5000ms));
    EXPECT_EQ(log.count(), logged);
    EXPECT_TRUE(dispatchUntil(log, logged + expected.size()));
    EXPECT_EQ(log.labelsFrom(logged), expected);
    {
      std::lock_guard<std::mutex> guard(log.mutex);
      for (size_t i = logged; i < log.threads.size(); ++i) EXPECT_EQ(log.threads[i], dispatcher) << log.labels[i];
    }
    const std::vector<uint32_t> threads = announcements.all();
    for (size_t i = announced; i < threads.size(); ++i) {
      EXPECT_EQ(threads[i], worker) << "announcement " << i;
      EXPECT_NE(threads[i], callerThread) << "announced inside sendRequest";
    }
  }
}

}  // namespace
