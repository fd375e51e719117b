#include "client/firmware/upload_answer.h"

#include <cstring>

namespace zelkit::detail {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Skips one or more characters of a kind; false when there is none.
template <typename Test>
bool skipRun(const char*& at, const char* end, Test test) {
  const char* start = at;
  while (at < end && test(*at)) ++at;
  return at > start;
}

}  // namespace

UploadAnswer readUploadAnswer(const char* data, int length) {
  UploadAnswer answer;
  if (length > UPLOAD_ANSWER_MAX) length = UPLOAD_ANSWER_MAX;
  const char* lineEnd =
      length > 0 ? static_cast<const char*>(std::memchr(data, '\n', static_cast<std::size_t>(length))) : nullptr;
  if (lineEnd == nullptr) {
    answer.verdict = length >= UPLOAD_ANSWER_MAX ? UploadVerdict::TooLong : UploadVerdict::Incomplete;
    return answer;
  }
  const char* end = lineEnd > data && lineEnd[-1] == '\r' ? lineEnd - 1 : lineEnd;
  const char* at = data;
  answer.verdict = UploadVerdict::Malformed;
  // "HTTP/" major "." minor, blanks, the code word.
  constexpr char PROTOCOL[] = "HTTP/";
  constexpr int PROTOCOL_LENGTH = sizeof PROTOCOL - 1;
  if (end - at < PROTOCOL_LENGTH || std::memcmp(at, PROTOCOL, PROTOCOL_LENGTH) != 0) return answer;
  at += PROTOCOL_LENGTH;
  if (!skipRun(at, end, isDigit) || at == end || *at++ != '.' || !skipRun(at, end, isDigit)) return answer;
  if (!skipRun(at, end, isBlank)) return answer;
  const char* code = at;
  while (at < end && !isBlank(*at)) ++at;
  const auto codeLength = static_cast<int>(at - code);
  if (codeLength == 0) return answer;
  if (codeLength == 3 && std::memcmp(code, "200", 3) == 0) {
    answer.verdict = UploadVerdict::Accepted;
    return answer;
  }
  answer.verdict = UploadVerdict::Refused;
  const int kept = codeLength < UPLOAD_STATUS_CODE_MAX ? codeLength : UPLOAD_STATUS_CODE_MAX;
  for (int i = 0; i < kept; ++i) {
    const auto c = static_cast<unsigned char>(code[i]);
    answer.code[i] = c > ' ' && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return answer;
}

}  // namespace zelkit::detail
