#include "client/firmware/firmware_upload.h"
#include "client/firmware/upload_buffer.h"
#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "platform/thread.h"
#include "zelkit/client.h"

namespace zelkit {

int ZelClient::startFirmwareUpload(char const* file) { return connection_->startFirmwareUpload(file); }

}  // namespace zelkit

namespace zelkit::detail {

int Connection::startFirmwareUpload(const char* file) {
  if (file == nullptr) {
    uploadAbort.store(true, std::memory_order_relaxed);
    return 0;
  }
  {
    GlobalLock lock;
    if (uploadRunning) return -1;
  }
  FwUploadBuffer* buffer = acquireUploadBuffer(file);
  if (buffer == nullptr) return -1;
  GlobalLock lock;
  if (uploadRunning) {
    releaseUploadBuffer(buffer);
    return -1;
  }
  uploadAbort.store(false, std::memory_order_relaxed);
  const uint32_t earlierEvent = pendingEventCode;
  const uint32_t earlierPosted = postedEventCode;
  // Running before the thread exists, so a thread that ends at once is not
  // overtaken by this flag.
  uploadRunning = true;
  uploadBuffer = buffer;
  pendingEventCode = LocalEvent::FirmwareUploadStarted;
  postedEventCode = UPLOAD_EVENT_NOT_POSTED;
  if (platform::startThread(firmwareUploadThread, this)) return 0;
  uploadRunning = false;
  uploadBuffer = nullptr;
  pendingEventCode = earlierEvent;
  postedEventCode = earlierPosted;
  releaseUploadBuffer(buffer);
  return -1;
}

}  // namespace zelkit::detail
