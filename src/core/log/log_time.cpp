#include "core/log/log_time.h"

#include <atomic>

#include "platform/time.h"

namespace zelkit::detail {

namespace {

std::atomic<WallClock> wallClock{nullptr};

bool localNow(std::tm& local, int& milliseconds) {
  std::time_t seconds;
  logWallClock(seconds, milliseconds);
  return localTime(seconds, local);
}

}  // namespace

void setLogWallClock(WallClock clock) { wallClock.store(clock, std::memory_order_release); }

void logWallClock(std::time_t& seconds, int& milliseconds) {
  const WallClock clock = wallClock.load(std::memory_order_acquire);
  if (clock != nullptr)
    clock(seconds, milliseconds);
  else
    platform::wallClock(seconds, milliseconds);
}

bool localTime(std::time_t seconds, std::tm& out) { return platform::localTime(seconds, out); }

void formatTimestamp(std::FILE* file) {
  std::tm local{};
  int milliseconds = 0;
  localNow(local, milliseconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(file, "%s.%03d ", text, milliseconds);
}

void makeDayDirectoryName(char* buffer, std::size_t size) {
  if (size == 0) return;
  std::tm local{};
  int milliseconds = 0;
  if (!localNow(local, milliseconds) || std::strftime(buffer, size, "%Y-%m-%d/", &local) == 0) buffer[0] = '\0';
}

}  // namespace zelkit::detail
