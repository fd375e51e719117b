#pragma once

#include "core/engine/lock.h"

namespace zelkit::detail {

// The one lock of every replay controller's state. It is held while the
// application's event callback runs, and is taken before the library lock.
CriticalSection& replayLock();

}  // namespace zelkit::detail
