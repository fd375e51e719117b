// A synchronous caller receives its own reply while it waits; frames that
// come in the same read and belong to callbacks (device messages, replies of
// asynchronous requests) must still run on the worker, in the order they
// came.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/core.h"
#include "core/wire/stream_access.h"
#include "platform/thread.h"
#include "support/test_device.h"
#include "support/wire_codec.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace std::chrono_literals;
using zelkit::ZelClient;

constexpr uint32_t kSync = 0x0A370C31;
constexpr uint32_t kAsync = 0x0A380C31;
constexpr uint32_t kMessage = 0x0A390C31;

// Who ran which callback, in the order they ran.
struct CallbackLog {
  std::mutex mutex;
  std::vector<std::string> labels;
  std::vector<uint32_t> threads;

  static void record(void* context, zelkit::ZelHeader&, zelkit::ZelInputStream& stream) {
    auto* log = static_cast<CallbackLog*>(context);
    std::string label;
    while (stream.available() > 0) label.push_back(static_cast<char>(stream.readOctet()));
    std::lock_guard<std::mutex> guard(log->mutex);
    log->labels.push_back(label);
    log->threads.push_back(zelkit::platform::currentThreadId());
  }
  size_t count() {
    std::lock_guard<std::mutex> guard(mutex);
    return labels.size();
  }
};

zeltest::Bytes bytesOf(const std::string& text) { return zeltest::Bytes(text.begin(), text.end()); }

zeltest::Bytes replyTo(const zeltest::RecordedFrame& request, const std::string& payload) {
  zeltest::FrameHeader header = request.header;
  header.modeByte = zeltest::kModeReply;
  return zeltest::encodeFrame(header, bytesOf(payload));
}

zeltest::Bytes message(uint8_t sequence, const std::string& payload) {
  zeltest::FrameHeader header;
  header.tag = kMessage;
  header.modeByte = zeltest::kModeMessage;
  header.transactionId = sequence;
  return zeltest::encodeFrame(header, bytesOf(payload));
}

TEST(OwnReplyReceive, CallbacksInTheSameReadAsTheReplyRunOnTheWorkerInOrder) {
  // S: the synchronous reply; A: the asynchronous request's reply; M1, M2:
  // device messages. Each case goes out in one write.
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
  } const cases[] = {
      {"messages around the reply", {"M1", "S", "M2"}},
      {"reply first", {"S", "A", "M1"}},
      {"callbacks before and after", {"A", "M1", "S", "M2"}},
  };
  zeltest::TestDevice device;
  device.setRule(kSync, zeltest::Rule::silent());
  device.setRule(kAsync, zeltest::Rule::silent());
  device.start();
  ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
  // Outlives the test: the connection's close notice comes after it.
  static CallbackLog& log = *new CallbackLog;
  client.registerMessageCallback(CallbackLog::record, &log);
  uint8_t sequence = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t seen = device.frames().size();
    const size_t logged = log.count();
    const bool withAsync = std::find(c.pieces.begin(), c.pieces.end(), "A") != c.pieces.end();
    zelkit::ZelOutputStream asyncPayload;
    if (withAsync) client.sendRequest(5000, kAsync, asyncPayload, CallbackLog::record, &log);
    int errorCode = 0;
    std::thread caller([&] {
      zelkit::ZelInputStream response;
      client.sendRequest(5000, kSync, response);
      zelkit::detail::StreamAccess::awaitReply(response, &errorCode);
    });
    const auto syncRequest = device.waitForTag(kSync, 5s, seen);
    const auto asyncRequest = withAsync ? device.waitForTag(kAsync, 5s, seen) : std::nullopt;
    ASSERT_TRUE(syncRequest && (asyncRequest || !withAsync));
    std::this_thread::sleep_for(20ms);  // the caller waits for its reply by now
    zeltest::Bytes write;
    std::vector<std::string> expected;
    for (const std::string& piece : c.pieces) {
      zeltest::Bytes frame;
      if (piece == "S") {
        frame = replyTo(*syncRequest, piece);
      } else {
        frame = piece == "A" ? replyTo(*asyncRequest, piece) : message(sequence++, piece);
        expected.push_back(piece);
      }
      write.insert(write.end(), frame.begin(), frame.end());
    }
    ASSERT_TRUE(device.sendRaw(0, write, zeltest::WriteStyle::Whole));
    caller.join();
    EXPECT_EQ(errorCode, 0);
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (log.count() < logged + expected.size() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(2ms);
    std::lock_guard<std::mutex> guard(log.mutex);
    ASSERT_EQ(log.labels.size(), logged + expected.size());
    const std::vector<std::string> ran(log.labels.begin() + static_cast<long>(logged), log.labels.end());
    EXPECT_EQ(ran, expected);
    for (size_t i = logged; i < log.threads.size(); ++i)
      EXPECT_EQ(log.threads[i], zelkit::detail::core().getWorkerThreadId()) << log.labels[i];
  }
}

TEST(OwnReplyReceive, CallerThatReceivesGetsTheEndOfItsRequest) {
  // One caller alone on its connection, so that it receives for itself when
  // the request ends another way than by its reply.
  struct Case {
    const char* name;
    zeltest::Rule rule;
    int timeoutMs;
    int errorCode;
  } const cases[] = {
      {"time-out", zeltest::Rule::silent(), 300, zelkit::ResponseTimeout},
      {"device resets", zeltest::Rule::reset(), 5000, zelkit::ConnectionReset},
      {"device closes", zeltest::Rule::close(), 5000, zelkit::ConnectionReset},
      {"error reply", zeltest::Rule::error(0x21), 5000, 0x21},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zeltest::TestDevice device;
    zeltest::Rule rule = c.rule;
    rule.delay = 20ms;  // the caller waits for its reply by then
    device.setRule(kSync, rule);
    device.setRule(kAsync, zeltest::Rule::reply(bytesOf("after")));
    device.start();
    ZelClient client(("zelp://HookOn1@" + device.endpoint()).c_str(), 0, 0);
    int errorCode = 0;
    {
      zelkit::ZelInputStream response;
      client.sendRequest(5000, kAsync, response);
      ASSERT_TRUE(zelkit::detail::StreamAccess::awaitReply(response, &errorCode));  // logged in
    }
    zelkit::ZelInputStream response;
    client.sendRequest(c.timeoutMs, kSync, response);
    EXPECT_FALSE(zelkit::detail::StreamAccess::awaitReply(response, &errorCode));
    EXPECT_EQ(errorCode, c.errorCode);
    // The connection still serves the next request (reconnecting if it must).
    zelkit::ZelInputStream next;
    client.sendRequest(5000, kAsync, next);
    EXPECT_TRUE(zelkit::detail::StreamAccess::awaitReply(next, &errorCode));
    EXPECT_EQ(next.available(), 5);
  }
}

}  // namespace
