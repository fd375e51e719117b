#pragma once

#include <cstdint>
#include <ctime>

namespace zelkit::platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
// Compare two ticks only through their signed 32-bit difference.
uint32_t tickCount();

void sleepMilliseconds(uint32_t milliseconds);

// Wall-clock time: seconds since the epoch and the millisecond within it.
void wallClock(std::time_t& seconds, int& milliseconds);

// Local calendar time of the given seconds; false when it cannot be converted.
bool localTime(std::time_t seconds, std::tm& out);

}  // namespace zelkit::platform
