#include "core/http/http_head.h"

#include <cstring>

#include "core/http/text_range.h"

namespace zelkit::detail {

namespace {

// The value as a " %d" conversion reads it: blanks, a sign, digits; false
// when no digit follows.
bool readDecimal(TextRange text, int64_t& value) {
  const TextRange trimmed = text.trim();
  const char* at = trimmed.begin;
  bool negative = false;
  if (at != trimmed.end && (*at == '-' || *at == '+')) negative = *at++ == '-';
  if (at == trimmed.end || *at < '0' || *at > '9') return false;
  int64_t magnitude = 0;
  for (; at != trimmed.end && *at >= '0' && *at <= '9'; ++at) {
    magnitude = magnitude * 10 + (*at - '0');
    if (magnitude > HTTP_CONTENT_LENGTH_MAX_READ) magnitude = HTTP_CONTENT_LENGTH_MAX_READ;
  }
  value = negative ? -magnitude : magnitude;
  return true;
}

void readHeaderLine(TextRange line, HttpHead& head) {
  const KeyValueRange field = line.splitKeyValue(':');
  if (field.name.equalsNoCase("connection")) {
    if (field.value.equalsNoCase("keep-alive")) head.keepAlive = true;
  } else if (field.name.equalsNoCase("expect")) {
    head.expectation = true;
  } else if (field.name.equalsNoCase("content-length")) {
    if (readDecimal(field.value, head.contentLength)) head.hasContentLength = true;
  }
}

}  // namespace

void parseHttpHead(const char* data, int length, HttpHead& head) {
  head = HttpHead();
  const char* const end = data + length;
  for (const char* start = data; start != end;) {
    const char* newline = static_cast<const char*>(std::memchr(start, '\n', static_cast<std::size_t>(end - start)));
    if (newline == nullptr) break;  // a line still arriving
    const TextRange line{start, newline};
    if (line.length() < 2) {
      if (line.length() == 1 && *line.begin == '\r') head.headerLength = static_cast<int>(newline + 1 - data);
      break;
    }
    if (*start != ' ' && *start != '\t' && head.lineCount < HttpHead::MAX_LINES) head.lines[head.lineCount++] = start;
    readHeaderLine(line, head);
    start = newline + 1;
  }
  head.lines[head.lineCount] = nullptr;
}

int findHeadEnd(const char* data, int length, int minEnd) {
  static constexpr char HEAD_END[] = "\r\n\r\n";
  for (int end = minEnd < 4 ? 4 : minEnd; end <= length; ++end)
    if (std::memcmp(data + end - 4, HEAD_END, 4) == 0) return end;
  return 0;
}

}  // namespace zelkit::detail
