#pragma once

// Helpers of the logging tests: a temporary log tree, a fixed wall clock
// in UTC, and reading what reached the files.

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/log/log_time.h"

namespace loggingtest {

namespace fs = std::filesystem;

// 2024-03-10 12:00:00 UTC.
constexpr std::time_t MARCH_10_NOON = 1710072000;
constexpr std::time_t ONE_DAY = 86400;

inline std::atomic<std::time_t> fixedNow{MARCH_10_NOON};

inline void fixedClock(std::time_t& seconds, int& milliseconds) {
  seconds = fixedNow.load();
  milliseconds = 123;
}

// Local time is UTC in these tests; the log code reads the fixed clock.
// Call first, before the engine starts any thread.
inline void useFixedClockInUtc(std::time_t now = MARCH_10_NOON) {
  setenv("TZ", "UTC", 1);
  tzset();
  fixedNow = now;
  zelkit::detail::setLogWallClock(fixedClock);
}

inline fs::path temporaryDirectory(const char* purpose) {
  std::string pattern = (fs::temp_directory_path() / (std::string("zelkit-") + purpose + "-XXXXXX")).string();
  return mkdtemp(pattern.data());
}

inline std::string readFile(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

inline std::vector<std::string> readLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// A line that starts with a time stamp "YYYY-MM-DD HH:MM:SS.mmm " gives the
// rest; a line without one gives nothing.
inline std::optional<std::string> afterTimestamp(const std::string& line) {
  static constexpr char shape[] = "dddd-dd-dd dd:dd:dd.ddd ";
  constexpr size_t length = sizeof shape - 1;
  if (line.size() < length) return std::nullopt;
  for (size_t i = 0; i < length; ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return std::nullopt;
  }
  return line.substr(length);
}

// Names in a directory, sorted.
inline std::vector<std::string> entries(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace loggingtest
