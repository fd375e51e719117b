#include <gtest/gtest.h>

#include <atomic>

#include "core/engine/core.h"
#include "server/server_test_util.h"

namespace {

using namespace servertest;

int one = 1;
int two = 2;

// What each timer function saw: how often, and with which context.
struct Calls {
  std::atomic<int> count{0};
  std::atomic<void*> context{nullptr};
};
Calls calls[3];

template <int Index>
void timerFunction(void* context) {
  calls[Index].context = context;
  ++calls[Index].count;
}

TEST(ServerTimers, OneKeepAliveCountdownWhateverTheServers) {
  TestServer server;
  const int timers = zelkit::detail::core().getTimerCount(2);
  EXPECT_EQ(timers, 1);
  TestServer another;
  EXPECT_EQ(zelkit::detail::core().getTimerCount(2), timers);
}

TEST(ServerTimers, EachTimerCallsItsOwnFunctionWithItsContext) {
  TestServer server;
  server.start(0);
  // The first two share a context, and must not replace each other.
  server.registerTimer(100, timerFunction<0>, &one);
  server.registerTimer(100, timerFunction<1>, &one);
  server.registerTimer(100, timerFunction<2>, &two);
  EXPECT_TRUE(waitUntil([] { return calls[0].count >= 2 && calls[1].count >= 2 && calls[2].count >= 2; }));
  EXPECT_EQ(calls[0].context.load(), &one);
  EXPECT_EQ(calls[1].context.load(), &one);
  EXPECT_EQ(calls[2].context.load(), &two);
}

}  // namespace
