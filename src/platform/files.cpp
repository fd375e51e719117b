// The 32-bit build needs the 64-bit file interfaces too: without them
// readdir and stat fail on file systems with large inode numbers.
#define _FILE_OFFSET_BITS 64

#include "platform/files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zelkit::platform {

namespace {

// The home directory: $HOME, else the password database.
std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  passwd entry;
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) return found->pw_dir;
  return {};
}

EntryType typeOf(const struct stat& status) {
  if (S_ISLNK(status.st_mode)) return EntryType::SymbolicLink;
  if (S_ISDIR(status.st_mode)) return EntryType::Directory;
  if (S_ISREG(status.st_mode)) return EntryType::File;
  return EntryType::Other;
}

}  // namespace

bool userDataFolder(char* out, std::size_t size) {
  // A relative $XDG_DATA_HOME is to be ignored, as the base directory rules say.
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  std::string folder;
  if (dataHome != nullptr && dataHome[0] == '/') {
    folder = dataHome;
  } else {
    const std::string home = homeDirectory();
    if (home.empty()) return false;
    folder = home + "/.local/share";
  }
  folder += "/Tarvo/Kelmo/";
  if (folder.size() >= size || !createDirectories(folder.c_str())) return false;
  std::memcpy(out, folder.c_str(), folder.size() + 1);
  return true;
}

bool createDirectories(const char* path) {
  const std::string whole = path;
  for (std::size_t at = 1; at <= whole.size(); ++at) {
    if (at < whole.size() && whole[at] != '/') continue;
    if (mkdir(whole.substr(0, at).c_str(), 0777) != 0 && errno != EEXIST) return false;
  }
  struct stat status;
  return stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

bool listDirectory(const char* path, DirectoryVisitor visit, void* context) {
  DIR* directory = opendir(path);
  if (directory == nullptr) return false;
  const int fd = dirfd(directory);
  while (const dirent* entry = readdir(directory)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat status;
    // Never follow a link: a link to a directory is reported as the link.
    if (fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    visit(entry->d_name, typeOf(status), context);
  }
  closedir(directory);
  return true;
}

bool removeFile(const char* path) { return unlink(path) == 0; }

bool removeDirectory(const char* path) { return rmdir(path) == 0; }

}  // namespace zelkit::platform
