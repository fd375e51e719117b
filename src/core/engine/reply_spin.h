#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zelkit {
class ZelInputStream;
}

namespace zelkit::detail {

// Whether a synchronous caller spins for its reply before it sleeps, learnt
// per connection: the spin saves the sleeping caller's wake-up while the
// device answers within the budget; once a reply came later, the next
// waiters sleep at once, for longer the more often that happened, so that a
// slow device costs no CPU. Used without the lock (the counts are only hints).
class ReplySpin {
 public:
  static constexpr std::chrono::nanoseconds Budget = std::chrono::microseconds(40);

  // Taken by a waiter: true when it is to spin first.
  bool shouldSpin();
  // The outcome of a spin: the reply came within the budget, or not.
  void record(bool caught);

 private:
  static constexpr uint32_t MaxMissShift = 6;
  static constexpr uint32_t SkipsPerMiss = 8;

  std::atomic<uint32_t> skips_{0};   // waits left that sleep at once
  std::atomic<uint32_t> misses_{0};  // spins in a row that came too early
};

class Connection;

// The synchronous request a thread made last, and its client connection
// (null: its waiter neither spins nor receives the reply itself), for the
// wait that follows on the same thread. Taking it for another stream yields
// null.
void noteSynchronousRequest(const ZelInputStream* response, Connection* connection);
Connection* takeSynchronousConnection(const ZelInputStream* response);

}  // namespace zelkit::detail
