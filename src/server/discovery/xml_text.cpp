#include "server/discovery/xml_text.h"

#include <cstdint>
#include <cstring>

#include "core/wire/utf16.h"

namespace zelkit::detail {

namespace {

constexpr int LONGEST_FORM = 6;  // "&quot;"

uint32_t nextCharacter(const std::u16string& text, std::size_t& at) {
  const uint32_t unit = text[at++];
  if (utf16::isHighSurrogate(unit) && at < text.size() && utf16::isLowSurrogate(text[at]))
    return utf16::join(unit, text[at++]);
  return utf16::isSurrogate(unit) ? utf16::Replacement : unit;
}

bool allowedInXml(uint32_t character) {
  return character == 0x9 || character == 0xA || character == 0xD || (character >= 0x20 && character <= 0xD7FF) ||
         (character >= 0xE000 && character <= 0xFFFD) || (character >= 0x10000 && character <= utf16::LastCharacter);
}

const char* entityOf(uint32_t character) {
  switch (character) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&apos;";
    default: return nullptr;
  }
}

// The character's form in the text; returns its length.
int formOf(uint32_t character, char (&form)[LONGEST_FORM]) {
  if (const char* entity = entityOf(character)) {
    const int length = static_cast<int>(std::strlen(entity));
    std::memcpy(form, entity, static_cast<std::size_t>(length));
    return length;
  }
  if (!allowedInXml(character)) character = utf16::Replacement;
  if (character < 0x80) {
    form[0] = static_cast<char>(character);
    return 1;
  }
  if (character < 0x800) {
    form[0] = static_cast<char>(0xC0 | (character >> 6));
    form[1] = static_cast<char>(0x80 | (character & 0x3F));
    return 2;
  }
  if (character < 0x10000) {
    form[0] = static_cast<char>(0xE0 | (character >> 12));
    form[1] = static_cast<char>(0x80 | ((character >> 6) & 0x3F));
    form[2] = static_cast<char>(0x80 | (character & 0x3F));
    return 3;
  }
  form[0] = static_cast<char>(0xF0 | (character >> 18));
  form[1] = static_cast<char>(0x80 | ((character >> 12) & 0x3F));
  form[2] = static_cast<char>(0x80 | ((character >> 6) & 0x3F));
  form[3] = static_cast<char>(0x80 | (character & 0x3F));
  return 4;
}

}  // namespace

int writeXmlText(const std::u16string& text, char* out, int room) {
  int written = 0;
  for (std::size_t at = 0; at < text.size();) {
    char form[LONGEST_FORM];
    const int length = formOf(nextCharacter(text, at), form);
    if (length > room - written) break;
    std::memcpy(out + written, form, static_cast<std::size_t>(length));
    written += length;
  }
  return written;
}

}  // namespace zelkit::detail
