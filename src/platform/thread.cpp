#include "platform/thread.h"

#include <atomic>

#include <pthread.h>
#include <sched.h>
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
  sched_param parameter{};
  parameter.sched_priority = sched_get_priority_min(SCHED_RR);
  if (pthread_setschedparam(pthread_self(), SCHED_RR, &parameter) == 0) return true;
  // Without the privilege for real-time scheduling, a lower nice value may still be allowed.
  return setpriority(PRIO_PROCESS, 0, -5) == 0;
}

}  // namespace zelkit::platform
