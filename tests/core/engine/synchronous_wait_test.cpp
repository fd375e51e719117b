// Synchronous requests whose callers spin for their replies before they
// sleep, and whose sends leave without the library lock: many callers on one
// connection, replies out of order and around the end of the spin, time-outs,
// closes while callers wait or write, and the order of one thread's requests.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/core.h"
#include "core/wire/stream_access.h"
#include "support/test_device.h"
#include "zelkit/client.h"
#include "zelkit/exceptions.h"

namespace {

using namespace std::chrono_literals;
using zelkit::ZelClient;

constexpr uint32_t kCommand = 0x0A370C31;
constexpr uint32_t kSilent = 0x0A380C31;

zeltest::Bytes payloadOf(int thread, int round) {
  return {static_cast<uint8_t>(thread), static_cast<uint8_t>(round >> 8), static_cast<uint8_t>(round)};
}

// One synchronous request; the payload of the reply, or the error code.
struct Outcome {
  int errorCode = 0;
  zeltest::Bytes payload;
};

Outcome requestNow(ZelClient& client, uint32_t tag, const zeltest::Bytes& payload, int timeoutMs = 5000) {
  zelkit::ZelOutputStream out;
  for (uint8_t octet : payload) out.writeOctet(octet);
  zelkit::ZelInputStream response;
  client.sendRequest(timeoutMs, tag, out, response);
  Outcome outcome;
  if (!zelkit::detail::StreamAccess::awaitReply(response, &outcome.errorCode)) return outcome;
  while (response.available() > 0) outcome.payload.push_back(response.readOctet());
  return outcome;
}

// Answers the requests of one tag by hand: each batch of what has come in is
// answered in reverse order, with its own payload, after a delay drawn around
// the callers' spin budget, so that replies come while callers spin, as they
// stop spinning, and once they sleep.
class ShufflingReplier {
 public:
  ShufflingReplier(zeltest::TestDevice& device, uint32_t tag) : device_(device), tag_(tag), thread_([this] { run(); }) {}
  ~ShufflingReplier() {
    running_ = false;
    thread_.join();
  }

 private:
  void run() {
    std::minstd_rand random(7);
    std::uniform_int_distribution<int> delayUs(0, 120);
    size_t seen = 0;
    while (running_) {
      std::vector<zeltest::RecordedFrame> batch;
      const auto frames = device_.framesWithTag(tag_);
      for (; seen < frames.size(); ++seen) batch.push_back(frames[seen]);
      if (batch.empty()) {
        std::this_thread::sleep_for(20us);
        continue;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
      std::reverse(batch.begin(), batch.end());
      for (const auto& frame : batch) device_.reply(frame, frame.payload);
    }
  }

  zeltest::TestDevice& device_;
  const uint32_t tag_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

bool waitForTagCount(zeltest::TestDevice& device, uint32_t mask, uint32_t tag, size_t count) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    size_t have = 0;
    for (const auto& frame : device.frames()) have += (frame.header.tag & mask) == tag ? 1 : 0;
    if (have >= count) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
}

class SynchronousWaitTest : public testing::Test {
 protected:
  void SetUp() override {
    device.setRule(kSilent, zeltest::Rule::silent());
    device.start();
    client = std::make_unique<ZelClient>(url().c_str(), 0, 0);
    ASSERT_EQ(requestNow(*client, kCommand, {}).errorCode, 0);  // logged in
  }
  std::string url() const { return "zelp://HookOn1@" + device.endpoint(); }

  zeltest::TestDevice device;
  std::unique_ptr<ZelClient> client;
};

TEST_F(SynchronousWaitTest, EachOfManyCallersGetsItsOwnReplyWhenRepliesComeOutOfOrder) {
  device.setRule(kCommand, zeltest::Rule::silent());
  ShufflingReplier replier(device, kCommand);
  constexpr int kThreads = 8;
  constexpr int kRounds = 150;
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      ZelClient own(url().c_str(), 0, 0);  // the same connection
      for (int round = 0; round < kRounds; ++round) {
        const Outcome outcome = requestNow(t % 2 == 0 ? own : *client, kCommand, payloadOf(t, round));
        if (outcome.errorCode != 0 || outcome.payload != payloadOf(t, round)) ++wrong;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SynchronousWaitTest, FastRepliesAfterTimeOutsStillArrive) {
  // Time-outs teach the connection to stop spinning; a fast device after
  // them is still answered, and each caller gets its own outcome.
  device.setRule(kCommand, zeltest::Rule::echo());
  std::vector<std::thread> callers;
  std::atomic<int> timedOut{0};
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      if (requestNow(*client, kSilent, payloadOf(t, 0), 300).errorCode == zelkit::ResponseTimeout) ++timedOut;
      for (int round = 0; round < 200; ++round)
        if (requestNow(*client, kCommand, payloadOf(t, round)).payload != payloadOf(t, round)) ++wrong;
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(timedOut.load(), 4);
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(SynchronousWaitTest, CloseWhileCallersWaitResetsEachOfThem) {
  constexpr int kThreads = 6;
  std::atomic<int> reset{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t)
    callers.emplace_back([&, t] {
      if (requestNow(*client, kSilent, payloadOf(t, 0)).errorCode == zelkit::ConnectionReset) ++reset;
    });
  ASSERT_TRUE(waitForTagCount(device, 0xFFFFFFFF, kSilent, kThreads));
  device.closeConnection(0);
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(reset.load(), kThreads);
}

TEST_F(SynchronousWaitTest, ResetsWhileCallersWriteEndEveryRequest) {
  // The device resets its connection every few requests while callers keep
  // sending: a close can come while a caller writes without the lock.
  zeltest::Rule rule = zeltest::Rule::echo();
  rule.resetAfter = 5;
  device.setRule(kCommand, rule);
  std::atomic<int> unexpected{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 6; ++t)
    callers.emplace_back([&, t] {
      for (int round = 0; round < 60; ++round) {
        const Outcome outcome = requestNow(*client, kCommand, payloadOf(t, round));
        const bool answered = outcome.errorCode == 0 && outcome.payload == payloadOf(t, round);
        if (!answered && outcome.errorCode != zelkit::ConnectionReset) ++unexpected;
      }
    });
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(unexpected.load(), 0);
}

TEST_F(SynchronousWaitTest, RequestsOfEachThreadLeaveInTheOrderTheyWereMade) {
  // Threads race to write one connection; the one that writes sends what the
  // others queued meanwhile, behind its own.
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;  // below the ids of one command word
  device.setDefaultRule(zeltest::Rule::reply());
  std::atomic<int> answered{0};
  auto onReply = [](void* counter, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
    static_cast<std::atomic<int>*>(counter)->fetch_add(1);
  };
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        zelkit::ZelOutputStream out;
        for (uint8_t octet : payloadOf(t, round)) out.writeOctet(octet);
        client->sendRequest(5000, 0x0B000C31 + (static_cast<uint32_t>(t) << 16), out, onReply, &answered);
      }
    });
  for (auto& sender : senders) sender.join();
  ASSERT_TRUE(waitForTagCount(device, 0xFF00FFFF, 0x0B000C31, kThreads * kRounds));
  std::map<int, int> nextRound;
  for (const auto& frame : device.frames()) {
    if ((frame.header.tag & 0xFF00FFFF) != 0x0B000C31) continue;
    const int thread = frame.payload.at(0);
    EXPECT_EQ(frame.payload, payloadOf(thread, nextRound[thread]));
    ++nextRound[thread];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(nextRound[t], kRounds);
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (answered.load() < kThreads * kRounds && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(answered.load(), kThreads * kRounds);
}

}  // namespace
