#pragma once

#include <cstdint>

// Characters as UTF-16 units: wide texts travel as 16-bit units, while a
// wchar_t here holds a whole character.
namespace zelkit::detail::utf16 {

constexpr uint32_t Replacement = 0xFFFD;
constexpr uint32_t LastCharacter = 0x10FFFF;

constexpr bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool isSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

constexpr uint32_t join(uint32_t high, uint32_t low) { return 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00); }

// The units of one character: one, or a surrogate pair for one beyond
// U+FFFF; a value beyond U+10FFFF becomes U+FFFD. Returns the count.
constexpr int split(uint32_t character, uint16_t units[2]) {
  if (character > LastCharacter) character = Replacement;
  if (character <= 0xFFFF) {
    units[0] = static_cast<uint16_t>(character);
    return 1;
  }
  character -= 0x10000;
  units[0] = static_cast<uint16_t>(0xD800 + (character >> 10));
  units[1] = static_cast<uint16_t>(0xDC00 + (character & 0x3FF));
  return 2;
}

}  // namespace zelkit::detail::utf16
