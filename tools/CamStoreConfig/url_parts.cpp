#include "url_parts.h"

namespace camstore {
namespace {

// The first ':' of text, or when there is none the first '/'.
size_t firstSeparator(std::string_view text) {
  const size_t colon = text.find(':');
  return colon != std::string_view::npos ? colon : text.find('/');
}

void assignIfNotEmpty(std::string& field, std::string_view value) {
  if (!value.empty()) field = value;
}

}  // namespace

UrlParts splitUrl(std::string_view url) {
  UrlParts parts;
  std::string_view rest = url;

  if (const size_t schemeEnd = rest.find("://"); schemeEnd != std::string_view::npos) {
    assignIfNotEmpty(parts.scheme, rest.substr(0, schemeEnd));
    rest.remove_prefix(schemeEnd + 3);
  }

  if (const size_t at = rest.find('@'); at != std::string_view::npos) {
    const size_t separator = firstSeparator(rest);
    if (separator < at) {
      assignIfNotEmpty(parts.user, rest.substr(0, separator));
      parts.password = rest.substr(separator + 1, at - separator - 1);
    } else {
      assignIfNotEmpty(parts.user, rest.substr(0, at));
    }
    rest.remove_prefix(at + 1);
  }

  const size_t separator = firstSeparator(rest);
  if (separator == std::string_view::npos) {
    parts.host = rest;
    return parts;
  }
  assignIfNotEmpty(parts.host, rest.substr(0, separator));
  if (rest[separator] == ':') {
    const size_t slash = rest.find('/', separator);
    if (slash == std::string_view::npos) {
      parts.port = rest.substr(separator + 1);
      return parts;
    }
    parts.port = rest.substr(separator + 1, slash - separator - 1);
    parts.path = rest.substr(slash);
  } else {
    parts.path = rest.substr(separator);
  }
  return parts;
}

}  // namespace camstore
