#include "client/replay/replay_lock.h"

#include "common/never_destroyed.h"

namespace zelkit::detail {

namespace {

constinit NeverDestroyed<CriticalSection> lock;

}  // namespace

CriticalSection& replayLock() { return lock.get(); }

}  // namespace zelkit::detail
