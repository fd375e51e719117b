#include <cstdio>

#include "platform/files.h"
#include "security/cert_cache/certificate_cache.h"

namespace zelkit::detail {

char* getApplicationFilePath(int, char* path, int size, const char* fileName) {
  char folder[1024];
  if (!platform::userDataFolder(folder, sizeof folder)) return nullptr;
  const int length = std::snprintf(path, static_cast<std::size_t>(size), "%s/%s", folder, fileName);
  return length >= 0 && length < size ? path : nullptr;
}

}  // namespace zelkit::detail
