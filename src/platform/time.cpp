#include "platform/time.h"

#include <chrono>
#include <thread>

namespace zelkit::platform {

uint32_t tickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void sleepMilliseconds(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void wallClock(std::time_t& seconds, int& milliseconds) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  seconds = static_cast<std::time_t>(ms / 1000);
  milliseconds = static_cast<int>(ms % 1000);
}

bool localTime(std::time_t seconds, std::tm& out) { return localtime_r(&seconds, &out) != nullptr; }

}  // namespace zelkit::platform
