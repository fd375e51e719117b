#pragma once

namespace zelkit::detail {

// One line in the system log (the pseudo connection "127.1.1.1"), with a
// four-character category. Nothing is written while no log directory is set.
void logSystem(const char* category, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace zelkit::detail
