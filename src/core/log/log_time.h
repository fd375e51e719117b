#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

namespace zelkit::detail {

// The wall clock of the log code: time stamps, day directories and the
// eraser's notion of today all read it, so a test can fix the date.
using WallClock = void (*)(std::time_t& seconds, int& milliseconds);
void setLogWallClock(WallClock clock);  // null: the system clock
void logWallClock(std::time_t& seconds, int& milliseconds);

// Local calendar time; false when the seconds do not convert.
bool localTime(std::time_t seconds, std::tm& out);

// "%Y-%m-%d %H:%M:%S.%03d " of the local time now.
void formatTimestamp(std::FILE* file);

// Today's day directory, "%Y-%m-%d/" in local time; empty when the date
// does not convert.
void makeDayDirectoryName(char* buffer, std::size_t size);

}  // namespace zelkit::detail
