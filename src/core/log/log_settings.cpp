#include <cstdlib>
#include <cstring>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/log/log_eraser.h"
#include "core/log/log_time.h"
#include "platform/os_version.h"

namespace zelkit::detail {

// The setters change the settings under the library lock: the log code and
// the eraser's start read them under it.
int Core::setLoggingDirectory(const char* directory) {
  ensureInitialized();
  GlobalLock lock;
  if (logPathFixed) return 0;
  std::free(logDirectory);
  logDirectory = directory != nullptr ? strdup(directory) : nullptr;
  applyLogging();
  return 0;
}

int Core::setLoggingFilter(const char* expression) {
  GlobalLock lock;
  if (logFilterFixed) return 0;
  // A bad expression throws the regex library's error; the old filter stays.
  logFilter.assign(expression);
  applyLogging();
  return 0;
}

int Core::setLoggingRetentionTime(int days) {
  GlobalLock lock;
  if (logRetentionFixed) return 0;
  logRetentionDays = days;
  if (logDirectory != nullptr) applyLogging();
  return 0;
}

bool Core::logFilterMatches(const char* url) const {
  GlobalLock lock;
  return logFilter.search(url);
}

void Core::applyLogging() {
  GlobalLock lock;
  // With retention 0 the day directory keeps what it held.
  if (logRetentionDays != 0) makeDayDirectoryName(dayDirectory, sizeof dayDirectory);
  // Accepted connections are in the list too.
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next)
    connection->openLog();
  // Linux has no OS version word: the kernel release stands in for it.
  const uint32_t version = platform::osVersion();
  log(nullptr, "init", "os %d %08x", static_cast<int>(version & 0xFF), version);
  if (logRetentionDays >= 1 && logDirectory != nullptr) startLogEraser(logDirectory, logRetentionDays);
}

void Core::checkLogDayRollover() {
  // Only while day directories are kept: with retention 0 the day directory
  // no longer changes, and comparing it would re-apply on every pass.
  if (logRetentionDays == 0 || dayDirectory[0] == '\0') return;
  char today[sizeof dayDirectory];
  makeDayDirectoryName(today, sizeof today);
  if (std::strcmp(today, dayDirectory) != 0) applyLogging();
}

}  // namespace zelkit::detail
