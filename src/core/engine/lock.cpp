#include "core/engine/lock.h"

#include "common/never_destroyed.h"

namespace zelkit::detail {

namespace {
// Constant-initialised: usable by static initialisers before main.
constinit NeverDestroyed<platform::RecursiveLock> libraryLock;
}  // namespace

void lockGlobal() { libraryLock->lock(); }
void unlockGlobal() { libraryLock->unlock(); }
int releaseGlobalCompletely() { return libraryLock->releaseAll(); }
void reacquireGlobal(int depth) { libraryLock->reacquire(depth); }
bool globalLockHeld() { return libraryLock->heldByCurrentThread(); }

}  // namespace zelkit::detail
