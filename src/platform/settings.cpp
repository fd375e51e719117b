#include "platform/settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>

#include <strings.h>

namespace zelkit::platform {

namespace {

constexpr const char* EnvironmentPrefix = "TARVO_KELMO_";
constexpr const char* FileVariable = "TARVO_KELMO_CONFIG";
constexpr const char* DefaultFile = "/etc/tarvo/kelmo.conf";

std::string trimmed(const std::string& text) {
  size_t first = 0;
  size_t end = text.size();
  while (first < end && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  while (end > first && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(first, end - first);
}

// The value of "name = value" in the settings file; names compare without
// case, as registry value names do. Lines starting with '#' are comments.
std::optional<std::string> valueInFile(const char* name) {
  const char* path = std::getenv(FileVariable);
  std::ifstream file(path != nullptr ? path : DefaultFile);
  std::string line;
  while (std::getline(file, line)) {
    const std::string entry = trimmed(line);
    if (entry.empty() || entry[0] == '#') continue;
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) continue;
    if (strcasecmp(trimmed(entry.substr(0, equals)).c_str(), name) == 0) return trimmed(entry.substr(equals + 1));
  }
  return std::nullopt;
}

// First hit wins: the environment, then the file.
std::optional<std::string> lookUp(const char* name) {
  if (name == nullptr || *name == '\0') return std::nullopt;
  const std::string variable = std::string(EnvironmentPrefix) + name;
  if (const char* value = std::getenv(variable.c_str())) return std::string(value);
  return valueInFile(name);
}

// A DWORD in decimal or 0x-hex, surrounding blanks allowed.
bool parseDword(const std::string& text, uint32_t& value) {
  const std::string digits = trimmed(text);
  const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  const size_t start = hex ? 2 : 0;
  if (digits.size() == start) return false;
  uint64_t result = 0;
  for (size_t i = start; i < digits.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(digits[i]);
    if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return false;
    const uint64_t digit = std::isdigit(c) ? c - '0' : static_cast<uint64_t>(std::tolower(c) - 'a' + 10);
    result = result * (hex ? 16 : 10) + digit;
    if (result > 0xFFFFFFFF) return false;
  }
  value = static_cast<uint32_t>(result);
  return true;
}

}  // namespace

bool readSettingDword(const char* name, uint32_t& value) {
  const std::optional<std::string> text = lookUp(name);
  return text.has_value() && parseDword(*text, value);
}

bool readSettingString(const char* name, char* buffer, uint32_t size, uint32_t& byteCount) {
  const std::optional<std::string> text = lookUp(name);
  if (!text.has_value()) return false;
  byteCount = static_cast<uint32_t>(text->size() + 1);
  if (buffer == nullptr || byteCount > size) return false;
  std::memcpy(buffer, text->c_str(), byteCount);
  return true;
}

}  // namespace zelkit::platform
