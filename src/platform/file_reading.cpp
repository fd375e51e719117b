// Files larger than 2 GiB are read by the 32-bit build as well.
#define _FILE_OFFSET_BITS 64

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.h"

namespace zelkit::platform {

int openFileForReading(const char* path) {
  int file;
  do {
    file = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (file < 0 && errno == EINTR);
  return file;
}

long long fileSize(int file) {
  struct stat status;
  if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  return static_cast<long long>(status.st_size);
}

int readFile(int file, void* buffer, int length) {
  for (;;) {
    const ssize_t got = ::read(file, buffer, static_cast<size_t>(length));
    if (got >= 0) return static_cast<int>(got);
    if (errno != EINTR) return -1;
  }
}

void closeFile(int file) { ::close(file); }

}  // namespace zelkit::platform
