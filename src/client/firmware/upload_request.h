#pragma once

#include <cstdint>
#include <string>

namespace zelkit::detail {

// Asks a device what kind it is; the first octet of the reply decides.
constexpr uint32_t DEVICE_KIND_QUERY = 0x002E1030;
constexpr int DEVICE_KIND_QUERY_TIMEOUT_MS = 2000;

// Where and under which form field a device takes its firmware.
struct UploadTarget {
  const char* page;
  const char* field;
};
UploadTarget uploadTargetFor(int deviceKind);

// The multipart form of one upload: head, part head, the file, closing
// boundary.
struct UploadRequest {
  std::string head;
  std::string partHead;
};
extern const char UPLOAD_CLOSING_BOUNDARY[];
constexpr int UPLOAD_CLOSING_BOUNDARY_LENGTH = 31;

// Length of the part head, file and closing boundary: the file size, the
// lengths of the two names and the fixed 140 characters of the templates.
uint64_t uploadContentLength(uint64_t fileSize, const char* fileName, const char* field);

// host: the device's numeric address; credentials: base64 of
// "user:password", or null when there is no password.
UploadRequest buildUploadRequest(const UploadTarget& target, const char* host, const char* credentials,
                                 const char* fileName, uint64_t fileSize);

}  // namespace zelkit::detail
