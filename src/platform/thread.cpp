#include "platform/thread.h"

#include <atomic>
#include <cerrno>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace zelkit::platform {

namespace {

struct ThreadStart {
  ThreadEntry entry;
  void* argument;
};

void* runThread(void* start) {
  const ThreadStart what = *static_cast<ThreadStart*>(start);
  delete static_cast<ThreadStart*>(start);
  what.entry(what.argument);
  return nullptr;
}

}  // namespace

bool startThread(ThreadEntry entry, void* argument) {
  auto* start = new ThreadStart{entry, argument};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, runThread, start);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete start;
    return false;
  }
  return true;
}

uint32_t currentThreadId() {
  static std::atomic<uint32_t> lastId{0};
  thread_local uint32_t id = ++lastId;
  return id;
}

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

bool raiseCurrentThreadPriority() {
  // On Linux a nice value belongs to the thread whose id is given.
  const auto thread = static_cast<id_t>(gettid());
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, thread);
  if (current == -1 && errno != 0) return false;
  return setpriority(PRIO_PROCESS, thread, current - 2) == 0;
}

}  // namespace zelkit::platform
