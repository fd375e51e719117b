#include "client/firmware/upload_buffer.h"

#include <cstring>
#include <new>

#include "common/never_destroyed.h"
#include "core/engine/list.h"
#include "core/engine/lock.h"
#include "platform/files.h"

namespace zelkit::detail {

namespace {

// Whole contents by file name, guarded by the library lock. Chunked buffers
// are never shared, so they stay out of it.
List<FwUploadBuffer>& sharedBuffers() {
  static NeverDestroyed<List<FwUploadBuffer>> table;
  return table.get();
}

FwUploadBuffer* findShared(const char* file) {
  for (FwUploadBuffer* buffer = sharedBuffers().first(); buffer != nullptr; buffer = buffer->next)
    if (std::strcmp(buffer->name, file) == 0) return buffer;
  return nullptr;
}

void freeBuffer(FwUploadBuffer* buffer) {
  if (buffer->file >= 0) platform::closeFile(buffer->file);
  delete[] buffer->data;
  delete[] buffer->name;
  delete buffer;
}

bool readFully(int file, uint8_t* out, uint64_t length) {
  while (length > 0) {
    const int piece = length < (1u << 30) ? static_cast<int>(length) : (1 << 30);
    const int got = platform::readFile(file, out, piece);
    if (got <= 0) return false;
    out += got;
    length -= static_cast<uint64_t>(got);
  }
  return true;
}

// A buffer with the file's content read (whole) or its file kept open
// (chunked); null on any failure, the file then closed.
FwUploadBuffer* loadFile(const char* path) {
  const int file = platform::openFileForReading(path);
  if (file < 0) return nullptr;
  const long long size = platform::fileSize(file);
  auto* buffer = new (std::nothrow) FwUploadBuffer;
  if (size < 0 || static_cast<uint64_t>(size) > UPLOAD_FILE_MAX || buffer == nullptr) {
    platform::closeFile(file);
    delete buffer;
    return nullptr;
  }
  buffer->size = static_cast<uint64_t>(size);
  buffer->refCount = 1;
  const bool whole = buffer->size <= UPLOAD_WHOLE_FILE_MAX;
  buffer->file = whole ? -1 : file;
  const std::size_t nameLength = std::strlen(path);
  buffer->name = new (std::nothrow) char[nameLength + 1];
  buffer->data = new (std::nothrow) uint8_t[whole ? buffer->size : UPLOAD_CHUNK_SIZE];
  const bool ready =
      buffer->name != nullptr && buffer->data != nullptr && (!whole || readFully(file, buffer->data, buffer->size));
  if (whole) platform::closeFile(file);
  if (!ready) {
    freeBuffer(buffer);
    return nullptr;
  }
  std::memcpy(buffer->name, path, nameLength + 1);
  return buffer;
}

}  // namespace

FwUploadBuffer* acquireUploadBuffer(const char* file) {
  {
    GlobalLock lock;
    if (FwUploadBuffer* shared = findShared(file)) {
      ++shared->refCount;
      return shared;
    }
  }
  // Reading up to 64 MiB would stall the worker if the lock were held.
  FwUploadBuffer* loaded = loadFile(file);
  if (loaded == nullptr || !loaded->isWhole()) return loaded;
  GlobalLock lock;
  if (FwUploadBuffer* shared = findShared(file)) {
    // Another upload read the same file meanwhile: share its copy.
    ++shared->refCount;
    freeBuffer(loaded);
    return shared;
  }
  sharedBuffers().pushFront(loaded);
  return loaded;
}

void releaseUploadBuffer(FwUploadBuffer* buffer) {
  GlobalLock lock;
  if (--buffer->refCount >= 1) return;
  // Found by identity, not by name: a chunked upload of the same name has a
  // buffer of its own.
  if (buffer->isWhole()) sharedBuffers().remove(buffer);
  freeBuffer(buffer);
}

bool readUploadChunk(FwUploadBuffer* buffer, int length) {
  return readFully(buffer->file, buffer->data, static_cast<uint64_t>(length));
}

}  // namespace zelkit::detail
