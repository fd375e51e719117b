#pragma once

#include <chrono>

namespace zelkit::platform {

// The end of a wait given in milliseconds; a negative time-out never ends.
class Deadline {
 public:
  explicit Deadline(long long timeoutMs)
      : forever_(timeoutMs < 0), end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(forever_ ? 0 : timeoutMs)) {}

  bool forever() const { return forever_; }
  // Milliseconds left, rounded up; -1 when the wait has no end.
  int remainingMs() const {
    if (forever_) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

 private:
  bool forever_;
  std::chrono::steady_clock::time_point end_;
};

}  // namespace zelkit::platform
