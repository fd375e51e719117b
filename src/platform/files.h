#pragma once

#include <cstddef>

namespace zelkit::platform {

// The per-user data folder of the library: $XDG_DATA_HOME, else
// ~/.local/share, followed by "/Tarvo/Kelmo/" (created when missing).
// False when it cannot be found or made.
bool userDataFolder(char* out, std::size_t size);

// mkdir -p; true when the directory exists afterwards.
bool createDirectories(const char* path);

enum class EntryType { File, Directory, SymbolicLink, Other };

// Calls visit(name, type, context) for every entry of the directory except
// "." and "..", never following symbolic links. False when the directory
// cannot be listed.
using DirectoryVisitor = void (*)(const char* name, EntryType type, void* context);
bool listDirectory(const char* path, DirectoryVisitor visit, void* context);

// unlink: removes a file or the symbolic link itself.
bool removeFile(const char* path);
bool removeDirectory(const char* path);

// A file opened for reading in binary mode: its descriptor, or -1.
int openFileForReading(const char* path);
// The size of an open file in bytes, or -1.
long long fileSize(int file);
// Up to length bytes from the current position: the count, 0 at the end,
// -1 on failure.
int readFile(int file, void* buffer, int length);
void closeFile(int file);

}  // namespace zelkit::platform
