#pragma once

#include <cstdint>

namespace zelkit::platform {

using ThreadEntry = void (*)(void* argument);

// Starts a detached thread running entry(argument); false when it could not start.
bool startThread(ThreadEntry entry, void* argument);

// A small id of the calling thread, unique in the process and never 0.
uint32_t currentThreadId();

uint32_t currentProcessId();

// Best effort: raises the calling thread two steps above the normal level
// (a nice value two lower), staying a normal time-shared thread; false when
// the system refused.
bool raiseCurrentThreadPriority();

}  // namespace zelkit::platform
