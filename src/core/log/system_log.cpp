#include "core/log/system_log.h"

#include <cstdarg>

#include "core/engine/core.h"

namespace zelkit::detail {

void logSystem(const char* category, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  core().vlog(nullptr, category, format, arguments);
  va_end(arguments);
}

}  // namespace zelkit::detail
