#include "client/firmware/upload_request.h"

#include <cstdio>
#include <cstring>

namespace zelkit::detail {

#define UPLOAD_BOUNDARY "fwUploadBbDd20020722wmx"

const char UPLOAD_CLOSING_BOUNDARY[] = "\r\n--" UPLOAD_BOUNDARY "--\r\n";
static_assert(sizeof UPLOAD_CLOSING_BOUNDARY - 1 == UPLOAD_CLOSING_BOUNDARY_LENGTH);

namespace {

constexpr char HEAD_FORMAT[] =
    "POST /%s HTTP/1.1\r\nHost: %s\r\nContent-Type: multipart/form-data; boundary=" UPLOAD_BOUNDARY
    "\r\nUser-Agent: KRT\r\n%sConnection: Keep-Alive\r\nContent-Length: %lld\r\n\r\n";
constexpr char AUTHORIZATION_FORMAT[] = "Authorization: Basic %s\r\n";
constexpr char PART_HEAD_FORMAT[] = "--" UPLOAD_BOUNDARY
                                    "\r\nContent-Disposition: form-data; name=\"%s\"; filename=\"%s\"\r\nContent-Type: "
                                    "text/plain\r\n\r\n";
// The part head without its two "%s", and the closing boundary: 140.
constexpr uint64_t FIXED_CONTENT_LENGTH = (sizeof PART_HEAD_FORMAT - 1 - 4) + UPLOAD_CLOSING_BOUNDARY_LENGTH;

template <typename... Arguments>
std::string format(const char* pattern, Arguments... arguments) {
  const int length = std::snprintf(nullptr, 0, pattern, arguments...);
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, pattern, arguments...);
  return text;
}

}  // namespace

UploadTarget uploadTargetFor(int deviceKind) {
  if (deviceKind == '6' || deviceKind == 'a' || deviceKind == 'A') return {"service5.htm", "tavrobox.32x"};
  return {"upload.htm", "net.bin"};
}

uint64_t uploadContentLength(uint64_t fileSize, const char* fileName, const char* field) {
  return fileSize + std::strlen(fileName) + std::strlen(field) + FIXED_CONTENT_LENGTH;
}

UploadRequest buildUploadRequest(const UploadTarget& target, const char* host, const char* credentials,
                                 const char* fileName, uint64_t fileSize) {
  const std::string authorization = credentials != nullptr ? format(AUTHORIZATION_FORMAT, credentials) : "";
  const auto contentLength = static_cast<long long>(uploadContentLength(fileSize, fileName, target.field));
  return {format(HEAD_FORMAT, target.page, host, authorization.c_str(), contentLength),
          format(PART_HEAD_FORMAT, target.field, fileName)};
}

}  // namespace zelkit::detail
