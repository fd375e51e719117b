#include "core/engine/server_seam.h"

namespace zelkit::detail {

namespace {

ServerSeam* installedSeam = nullptr;

}  // namespace

void installServerSeam(ServerSeam* seam) { installedSeam = seam; }

ServerSeam& serverSeam() { return *installedSeam; }

}  // namespace zelkit::detail
