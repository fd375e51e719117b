#pragma once

#include <cstdint>

namespace zelkit::detail {

// Decodes the PEM text of a certificate (certificate true) or an RSA private
// key: the base64 after the "BEGIN" line up to the "END" line. *length is
// the capacity of out on entry and the decoded count on success (0 on
// failure). 0; -1 marker missing; -2 nothing after the marker line, broken
// base64 or out full. text is NUL-terminated.
int pemDecode(uint8_t* out, uint32_t* length, const char* text, bool certificate);
// The same for a body without marker lines.
int pemDecodeBody(uint8_t* out, uint32_t* length, const char* text);

}  // namespace zelkit::detail
