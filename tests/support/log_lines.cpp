#include "support/log_lines.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

namespace zeltest {

namespace {

// "YYYY-MM-DD HH:MM:SS.mmm " comes before the category.
constexpr std::string::size_type TIME_STAMP_LENGTH = 24;

}  // namespace

std::filesystem::path temporaryDirectory(const std::string& name) {
  std::string pattern = "/tmp/zelkit-" + name + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return pattern;
}

std::vector<std::string> logLines(const std::filesystem::path& directory, const std::string& category) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".log") continue;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      if (line.size() > TIME_STAMP_LENGTH && line.compare(TIME_STAMP_LENGTH, category.size() + 1, category + ' ') == 0)
        found.push_back(line.substr(TIME_STAMP_LENGTH + category.size() + 1));
    }
  }
  return found;
}

}  // namespace zeltest
