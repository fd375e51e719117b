#pragma once

#include <string>

namespace zelkit::detail {

// Writes the UTF-16 text as XML character data in UTF-8: the markup
// characters and quotes as entities, what XML cannot carry (half a
// surrogate pair, control characters) as U+FFFD. Stops before the first
// character whose form does not fit whole in room bytes. Returns the bytes
// written; writes no terminator.
int writeXmlText(const std::u16string& text, char* out, int room);

}  // namespace zelkit::detail
