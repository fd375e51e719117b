#pragma once

namespace zelkit::detail {

struct KeyValueRange;

// A run of characters [begin, end) inside a buffer; never owns them.
struct TextRange {
  const char* begin = nullptr;
  const char* end = nullptr;

  int length() const { return static_cast<int>(end - begin); }
  bool empty() const { return begin == end; }
  // Cuts at the first delimiter: returns the part before it and keeps the
  // part after it (the delimiter is consumed). Without one, returns all and
  // keeps nothing.
  TextRange split(char delimiter);
  // Name: the text up to the first delimiter, untrimmed. Value: the rest,
  // either what lies between a leading double quote and the last one, or
  // trimmed of white space at both ends.
  KeyValueRange splitKeyValue(char delimiter) const;
  TextRange trim() const;
  // Same length and equal ignoring ASCII case.
  bool equalsNoCase(const char* text) const;
  bool startsWith(const char* text) const;
};

struct KeyValueRange {
  TextRange name;
  TextRange value;
};

}  // namespace zelkit::detail
