#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/http/http_head.h"
#include "core/http/text_range.h"

namespace zelkit::detail {
namespace {

TEST(HttpHead, Table) {
  struct Case {
    const char* name;
    std::string text;
    int headerLength;
    int lineCount;
    bool keepAlive;
    bool expectation;
    bool hasContentLength;
    int64_t contentLength;
  };
  const std::string post = "POST /x HTTP/1.1\r\n";
  const Case cases[] = {
      {"complete", post + "Content-Length: 12\r\n\r\nbody", 40, 2, false, false, true, 12},
      {"not ended yet", post + "Content-Length: 12\r\n", 0, 2, false, false, true, 12},
      {"line still arriving", post + "Content-Len", 0, 1, false, false, false, 0},
      {"ended by a bare line feed", post + "\n\r\n", 0, 1, false, false, false, 0},
      {"names ignore case, values are trimmed", post + "CONNECTION:  Keep-Alive \r\nexpect: 100-continue\r\n\r\n", 68,
       3, true, true, false, 0},
      {"continuation lines are not listed, and their names keep the blank", post + " Content-Length: 7\r\n\r\n", 40,
       1, false, false, false, 0},
      {"negative length", post + "Content-Length: -5\r\n\r\n", 40, 2, false, false, true, -5},
      {"length of 2^31", post + "Content-Length: 2147483648\r\n\r\n", 48, 2, false, false, true, INT64_C(2147483648)},
      {"length of more digits than fit", post + "Content-Length: 123456789012345678901234567890\r\n\r\n", 68, 2, false,
       false, true, HTTP_CONTENT_LENGTH_MAX_READ},
      {"length without digits", post + "Content-Length: x\r\n\r\n", 39, 2, false, false, false, 0},
      {"name with a blank before the colon", post + "Content-Length : 5\r\n\r\n", 40, 2, false, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpHead head;
    parseHttpHead(c.text.data(), static_cast<int>(c.text.size()), head);
    EXPECT_EQ(head.headerLength, c.headerLength);
    EXPECT_EQ(head.lineCount, c.lineCount);
    EXPECT_EQ(head.lines[head.lineCount], nullptr);
    EXPECT_EQ(head.lines[0], c.text.data());
    EXPECT_EQ(head.keepAlive, c.keepAlive);
    EXPECT_EQ(head.expectation, c.expectation);
    EXPECT_EQ(head.hasContentLength, c.hasContentLength);
    EXPECT_EQ(head.contentLength, c.contentLength);
  }
}

TEST(HttpHead, KeepsAtMost63Lines) {
  std::string text = "GET / HTTP/1.0\r\n";
  for (int i = 0; i < 80; ++i) text += "X-Line: " + std::to_string(i) + "\r\n";
  text += "\r\n";
  HttpHead head;
  parseHttpHead(text.data(), static_cast<int>(text.size()), head);
  EXPECT_EQ(head.lineCount, 63);
  EXPECT_EQ(head.headerLength, static_cast<int>(text.size()));
}

TEST(HttpHead, HeadEnd) {
  const std::string text = "GET /zel_tunnel \r\n\r\nrest";
  EXPECT_EQ(findHeadEnd(text.data(), static_cast<int>(text.size()), 20), 20);
  EXPECT_EQ(findHeadEnd(text.data(), 19, 4), 0);
  EXPECT_EQ(findHeadEnd("\r\n\r\n", 4, 20), 0);
}

TEST(TextRange, SplitKeyValue) {
  struct Case {
    const char* line;
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"Name:  value \r", "Name", "value"},
      {"Name: \"quoted: \"inner\" text\" rest\r", "Name", "quoted: \"inner\" text"},
      {"Name: \"open", "Name", "open"},
      {" Name :value", " Name ", "value"},
      {"no delimiter", "no delimiter", ""},
      {"Empty:", "Empty", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const TextRange line{c.line, c.line + std::strlen(c.line)};
    const KeyValueRange field = line.splitKeyValue(':');
    EXPECT_EQ(std::string(field.name.begin, field.name.end), c.name);
    EXPECT_EQ(std::string(field.value.begin, field.value.end), c.value);
  }
  const TextRange word{"Keep-Alive", nullptr};
  EXPECT_TRUE((TextRange{word.begin, word.begin + 10}.equalsNoCase("keep-alive")));
  EXPECT_FALSE((TextRange{word.begin, word.begin + 9}.equalsNoCase("keep-alive")));
}

}  // namespace
}  // namespace zelkit::detail
