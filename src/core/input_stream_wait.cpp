#include "zelkit/streams.h"

// Only the engine arms streams; it completes these two with its list of
// armed streams (an armed stream leaves it here, and wait() blocks).
namespace zelkit {

ZelInputStream::~ZelInputStream() { purge(); }

void ZelInputStream::wait() {}

}  // namespace zelkit
