#include "platform/os_version.h"

#include <cstdio>

#include <sys/utsname.h>

namespace zelkit::platform {

uint32_t osVersion() {
  utsname names;
  if (uname(&names) != 0) return 0;
  // "6.1.0-18-amd64": the numbers missing from a shorter release stay 0.
  unsigned major = 0, minor = 0, patch = 0;
  if (std::sscanf(names.release, "%u.%u.%u", &major, &minor, &patch) < 1) return 0;
  return (major & 0xFF) | (minor & 0xFF) << 8 | (patch & 0xFFFF) << 16;
}

}  // namespace zelkit::platform
