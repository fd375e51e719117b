#include <cstdarg>
#include <cstdio>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

namespace {

constexpr int LOG_LINE_MAX = 1024;

}  // namespace

void Core::log(Connection* connection, const char* category, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vlog(connection, category, format, arguments);
  va_end(arguments);
}

void Core::vlog(Connection* connection, const char* category, const char* format, va_list arguments) {
  GlobalLock lock;
  if (logDirectory == nullptr) return;
  if (connection == nullptr) connection = systemConnection();
  if (connection == nullptr || !connection->hasLog()) return;
  char text[LOG_LINE_MAX];
  std::vsnprintf(text, sizeof text, format, arguments);
  connection->logText(category, text, 0, 0);
}

}  // namespace zelkit::detail
