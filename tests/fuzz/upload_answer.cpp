// The reader of a device's answer to a firmware upload: the status line
// comes from the peer, in pieces, up to a bound.
// Input: the answer's bytes; the first byte also picks where they are cut
// into two receives.
#include "client/firmware/upload_answer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

using zelkit::detail::UPLOAD_ANSWER_MAX;
using zelkit::detail::UploadAnswer;
using zelkit::detail::UploadVerdict;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t cut = data[0];
  // An exact copy of what fits the receive buffer, so that any read past
  // the received bytes is caught.
  const size_t length = size - 1 < UPLOAD_ANSWER_MAX ? size - 1 : UPLOAD_ANSWER_MAX;
  const std::vector<char> received(data + 1, data + 1 + length);
  const int total = static_cast<int>(length);
  const UploadAnswer whole = zelkit::detail::readUploadAnswer(received.data(), total);

  // The first piece alone is undecided or decided the same way: nothing
  // after a line end changes the verdict.
  const int first = cut < length ? static_cast<int>(cut) : total;
  const UploadAnswer early = zelkit::detail::readUploadAnswer(received.data(), first);
  if (early.verdict != UploadVerdict::Incomplete &&
      (early.verdict != whole.verdict || std::strcmp(early.code, whole.code) != 0))
    __builtin_trap();
  // Only the bound leaves no decision undone.
  if ((whole.verdict == UploadVerdict::TooLong) !=
      (total == UPLOAD_ANSWER_MAX && !std::memchr(received.data(), '\n', length)))
    __builtin_trap();
  // The logged code is short and printable.
  const size_t codeLength = strnlen(whole.code, sizeof whole.code);
  if (codeLength >= sizeof whole.code || (whole.verdict == UploadVerdict::Refused) != (codeLength > 0))
    __builtin_trap();
  for (size_t i = 0; i < codeLength; ++i)
    if (whole.code[i] <= ' ' || whole.code[i] >= 0x7F) __builtin_trap();
  return 0;
}
