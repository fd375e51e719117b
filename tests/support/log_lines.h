#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zeltest {

// A fresh directory under /tmp, left behind for inspection.
std::filesystem::path temporaryDirectory(const std::string& name);

// The texts of the log lines of a category ("fin ", "ssl ") in the log
// files under a directory, without their time stamps.
std::vector<std::string> logLines(const std::filesystem::path& directory, const std::string& category);

}  // namespace zeltest
