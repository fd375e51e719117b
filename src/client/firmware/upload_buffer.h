#pragma once

#include <cstdint>

namespace zelkit::detail {

// Files up to this size are read whole, once, and shared by the uploads of
// the same name; larger ones are streamed in chunks from a file of their own.
constexpr uint64_t UPLOAD_WHOLE_FILE_MAX = 64 * 1024 * 1024;
constexpr int UPLOAD_CHUNK_SIZE = 16384;
// Content-Length and the sizes on the wire are taken as 32-bit values.
constexpr uint64_t UPLOAD_FILE_MAX = 0xFFFFFFFFu;

// The content of one file being uploaded.
struct FwUploadBuffer {
  uint64_t size = 0;               // bytes of the file
  int32_t refCount = 0;            // uploads using it; changed under the library lock
  int32_t file = -1;               // open descriptor of a chunked file, -1 when the content is whole
  uint8_t* data = nullptr;         // the whole content, or the chunk area
  char* name = nullptr;            // the file name as given to the upload
  FwUploadBuffer* next = nullptr;  // in the table of shared buffers

  bool isWhole() const { return file < 0; }
};

// The buffer of the file: a shared one of the same name holding the whole
// content, or a new one (entered in the table when whole). The file is read
// without the library lock. Null when the file cannot be opened or read,
// is larger than UPLOAD_FILE_MAX, or memory runs out.
FwUploadBuffer* acquireUploadBuffer(const char* file);
// One upload less; the last one frees the buffer and closes its file.
void releaseUploadBuffer(FwUploadBuffer* buffer);
// The next piece of a chunked file into the chunk area: true when all
// `length` bytes came (a file that ends early is a failure).
bool readUploadChunk(FwUploadBuffer* buffer, int length);

}  // namespace zelkit::detail
