#pragma once

#include <algorithm>
#include <cstdint>

namespace zelkit::detail {

// How long a listener pauses after its accept failed for want of
// descriptors or memory. The pause doubles from the first step up to the
// bound: a process out of descriptors does not spin on the accept, and
// takes connections again soon after some are freed.
class AcceptBackoff {
 public:
  static constexpr uint32_t FIRST_PAUSE_MS = 5;
  static constexpr uint32_t LONGEST_PAUSE_MS = 100;

  // True from the first failure of an episode until an accept succeeds.
  bool pausing() const { return pauseMs_ != 0; }
  // The pause after one more failure.
  uint32_t nextPause() {
    pauseMs_ = pauseMs_ == 0 ? FIRST_PAUSE_MS : std::min(2 * pauseMs_, LONGEST_PAUSE_MS);
    return pauseMs_;
  }
  void end() { pauseMs_ = 0; }

 private:
  uint32_t pauseMs_ = 0;
};

}  // namespace zelkit::detail
