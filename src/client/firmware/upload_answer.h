#pragma once

namespace zelkit::detail {

// The device's answer is read until its status line is complete; a line
// that does not end within this many bytes is refused.
constexpr int UPLOAD_ANSWER_MAX = 512;
// The status code as logged: at most this many printable characters.
constexpr int UPLOAD_STATUS_CODE_MAX = 16;

enum class UploadVerdict {
  Incomplete,  // no line end yet: read on
  Accepted,    // "HTTP/x.y 200"
  Refused,     // a well-formed status line with another code
  Malformed,   // a line that is no HTTP status line
  TooLong,     // UPLOAD_ANSWER_MAX bytes without a line end
};

struct UploadAnswer {
  UploadVerdict verdict = UploadVerdict::Incomplete;
  // Refused: the code word, cut to UPLOAD_STATUS_CODE_MAX characters, with
  // anything unprintable as '?'.
  char code[UPLOAD_STATUS_CODE_MAX + 1] = {};
};

// Judges the bytes of the answer received so far (at most
// UPLOAD_ANSWER_MAX are ever looked at).
UploadAnswer readUploadAnswer(const char* data, int length);

}  // namespace zelkit::detail
