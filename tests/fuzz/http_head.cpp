// The head parser of HTTP requests on a server's accepted sockets: lines,
// header fields and the body length all come from the peer.
// Input: the bytes received so far, as the server hands them over.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/http/http_head.h"
#include "core/http/text_range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  // An exact copy, so that any read past the received bytes is caught.
  const std::vector<char> received(data, data + size);
  const char* text = received.data();
  const int length = static_cast<int>(size);
  zelkit::detail::HttpHead head;
  zelkit::detail::parseHttpHead(text, length, head);
  if (head.headerLength < 0 || head.headerLength > length || head.lineCount > zelkit::detail::HttpHead::MAX_LINES ||
      head.lines[head.lineCount] != nullptr || head.contentLength > zelkit::detail::HTTP_CONTENT_LENGTH_MAX_READ ||
      head.contentLength < -zelkit::detail::HTTP_CONTENT_LENGTH_MAX_READ)
    __builtin_trap();
  // Every kept line lies inside the data and ends in a line feed there.
  for (int i = 0; i < head.lineCount; ++i) {
    const char* line = head.lines[i];
    if (line < text || line >= text + length || std::memchr(line, '\n', static_cast<size_t>(text + length - line)) == nullptr)
      __builtin_trap();
    const char* end = static_cast<const char*>(std::memchr(line, '\n', static_cast<size_t>(text + length - line)));
    const zelkit::detail::KeyValueRange field = zelkit::detail::TextRange{line, end}.splitKeyValue(':');
    if (field.value.begin < line || field.value.end > end || field.value.begin > field.value.end) __builtin_trap();
  }
  const int headEnd = zelkit::detail::findHeadEnd(text, length, 20);
  if (headEnd != 0 && (headEnd < 20 || headEnd > length)) __builtin_trap();
  return 0;
}
