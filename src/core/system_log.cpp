#include "core/system_log.h"

namespace zelkit::detail {

// Logging is not wired up yet: lines are dropped as when no log directory is set.
void logSystem(const char*, const char*, ...) {}

}  // namespace zelkit::detail
