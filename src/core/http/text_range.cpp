#include "core/http/text_range.h"

#include <cstring>

namespace zelkit::detail {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

TextRange TextRange::split(char delimiter) {
  const char* at = begin;
  while (at != end && *at != delimiter) ++at;
  const TextRange before{begin, at};
  begin = at == end ? end : at + 1;
  return before;
}

KeyValueRange TextRange::splitKeyValue(char delimiter) const {
  TextRange rest = *this;
  KeyValueRange pair;
  pair.name = rest.split(delimiter);
  const TextRange trimmed = rest.trim();
  if (!trimmed.empty() && *trimmed.begin == '"') {
    const char* lastQuote = trimmed.end - 1;
    while (lastQuote != trimmed.begin && *lastQuote != '"') --lastQuote;
    // A lone opening quote keeps the rest as it stands.
    pair.value = lastQuote == trimmed.begin ? TextRange{trimmed.begin + 1, trimmed.end}
                                            : TextRange{trimmed.begin + 1, lastQuote};
  } else {
    pair.value = trimmed;
  }
  return pair;
}

TextRange TextRange::trim() const {
  TextRange trimmed = *this;
  while (!trimmed.empty() && isSpace(*trimmed.begin)) ++trimmed.begin;
  while (!trimmed.empty() && isSpace(trimmed.end[-1])) --trimmed.end;
  return trimmed;
}

bool TextRange::equalsNoCase(const char* text) const {
  const std::size_t textLength = std::strlen(text);
  if (static_cast<std::size_t>(length()) != textLength) return false;
  for (std::size_t i = 0; i < textLength; ++i)
    if (lower(begin[i]) != lower(text[i])) return false;
  return true;
}

bool TextRange::startsWith(const char* text) const {
  const std::size_t textLength = std::strlen(text);
  return static_cast<std::size_t>(length()) >= textLength && std::memcmp(begin, text, textLength) == 0;
}

}  // namespace zelkit::detail
