#pragma once

#include <cstdint>

namespace zelkit::detail {

// What the head of an HTTP request tells the server.
struct HttpHead {
  static constexpr int MAX_LINES = 63;

  // Starts of the kept lines (those not beginning with a blank or a tab),
  // each ending in "\n" inside the data; a null pointer follows the last.
  const char* lines[MAX_LINES + 1] = {};
  int lineCount = 0;
  // Bytes of the head through its empty line; 0 while no line "\r\n" has
  // ended it (a bare "\n" ends it too, without a length).
  int headerLength = 0;
  bool keepAlive = false;    // "Connection: keep-alive"
  bool expectation = false;  // an "Expect" line
  bool hasContentLength = false;
  // As written, bounded: a value of more digits than fit is kept as the
  // largest one, so it can be refused without overflowing.
  int64_t contentLength = 0;
};

constexpr int64_t HTTP_CONTENT_LENGTH_MAX_READ = INT64_C(1) << 40;

// Reads the head at the start of data, line by line until the first line
// shorter than two characters.
void parseHttpHead(const char* data, int length, HttpHead& head);

// Offset just after the first "\r\n\r\n" that ends at or after minEnd, or
// 0 when there is none.
int findHeadEnd(const char* data, int length, int minEnd);

}  // namespace zelkit::detail
