#include <cstdlib>
#include <cstring>

#include "core/connection.h"
#include "core/core.h"
#include "core/lock.h"

namespace zelkit::detail {

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

// Day directories, the eraser and the start-up line come with the log files.
void Core::applyLogging() {
  GlobalLock lock;
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next)
    connection->openLog();
}

void Core::checkLogDayRollover() {}

}  // namespace zelkit::detail
