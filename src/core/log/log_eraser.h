#pragma once

#include <cstdint>

namespace zelkit::detail {

// Starts a detached eraser thread over copies of the log directory and the
// retention, taken now (under the library lock), so that the setters may
// change or free them while it runs.
void startLogEraser(const char* directory, int32_t retentionDays);

// Thread entry: deletes the day directories ("%04d-%02d-%02d") that are
// older than the retention and logs the time it took. The argument is the
// copy startLogEraser made; the thread frees it.
void logEraserThread(void* job);

// Deletes a directory and everything below it. Symbolic links are removed
// themselves and never followed, so nothing outside the tree is touched.
void deleteDirectoryTree(const char* path);

}  // namespace zelkit::detail
