#include "recording_requests.h"

#include <algorithm>

namespace {

constexpr size_t kStorageListSize = 20;
constexpr size_t kSpanManagerSize = 256;
constexpr size_t kMostHexShown = 32;

// The storage kinds of the two forms of the storage list.
constexpr uint32_t kLocalStorage = 9;
constexpr uint32_t kRemoteStorage = 4;
constexpr uint8_t kKeepContents = 1;
constexpr uint8_t kFormat = 2;

uint32_t word(const std::vector<uint8_t>& p, size_t at) {
  return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
         static_cast<uint32_t>(p[at + 2]) << 8 | p[at + 3];
}

uint16_t shortWord(const std::vector<uint8_t>& p, size_t at) { return static_cast<uint16_t>(p[at] << 8 | p[at + 1]); }

std::string addressText(const std::vector<uint8_t>& p, size_t at) {
  return std::to_string(p[at]) + "." + std::to_string(p[at + 1]) + "." + std::to_string(p[at + 2]) + "." +
         std::to_string(p[at + 3]);
}

bool zeroFrom(const std::vector<uint8_t>& p, size_t at) {
  return std::all_of(p.begin() + static_cast<std::ptrdiff_t>(at), p.end(), [](uint8_t byte) { return byte == 0; });
}

std::string unexpected(const std::vector<uint8_t>& p) {
  const std::vector<uint8_t> shown(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(std::min(p.size(), kMostHexShown)));
  return "unexpected payload of " + std::to_string(p.size()) + " bytes: " + toHex(shown) +
         (shown.size() < p.size() ? "..." : "");
}

std::string storageList(const std::vector<uint8_t>& p) {
  if (p.size() != kStorageListSize || shortWord(p, 8) != 1 || shortWord(p, 10) != 0 || !zeroFrom(p, 14))
    return unexpected(p);
  const uint32_t kind = word(p, 0);
  if (kind == kLocalStorage && word(p, 4) == 0 && p[12] == 1 && p[13] == 0) return "local LUN";
  if (kind == kRemoteStorage && p[12] == 0 && (p[13] == kKeepContents || p[13] == kFormat))
    return "record to " + addressText(p, 4) + (p[13] == kFormat ? ", format LUN" : ", keep LUN contents");
  return unexpected(p);
}

std::string spanManager(const std::vector<uint8_t>& p, uint16_t num) {
  if (p.size() != kSpanManagerSize || p[8] != 0 || p[9] != 1 || !zeroFrom(p, 10)) return unexpected(p);
  return "camera " + addressText(p, 0) + ", encoder " + addressText(p, 4) + ", num " + std::to_string(num);
}

}  // namespace

std::string toHex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

std::string describeRecordingRequest(uint32_t command, uint16_t num, const std::vector<uint8_t>& payload) {
  switch (command) {
    case kSetStorageList:
      return "set storage list: " + storageList(payload);
    case kStartIscsiServer:
      if (payload == std::vector<uint8_t>{0, 0, 0, 1}) return "start iscsi server";
      return "start iscsi server: " + unexpected(payload);
    default:
      return "set span mgr: " + spanManager(payload, num);
  }
}
