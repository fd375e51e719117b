#include "configuration_request.h"

#include <algorithm>

#include "support/external_tool.h"

namespace zeltest {
namespace {

constexpr size_t kStorageListSize = 20;
constexpr size_t kSpanManagerSize = 256;
constexpr size_t kMostHexShown = 32;

// The storage kinds of the two forms of the storage list.
constexpr uint32_t kLocalStorage = 9;
constexpr uint32_t kRemoteStorage = 4;
constexpr uint8_t kKeepContents = 1;
constexpr uint8_t kFormat = 2;

std::string addressText(const uint8_t* bytes) {
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
         std::to_string(bytes[3]);
}

bool zeroFrom(const Bytes& payload, size_t offset) {
  return std::all_of(payload.begin() + static_cast<std::ptrdiff_t>(offset), payload.end(),
                     [](uint8_t byte) { return byte == 0; });
}

std::string unexpected(const Bytes& payload) {
  const size_t shown = std::min(payload.size(), kMostHexShown);
  return "unexpected payload of " + std::to_string(payload.size()) + " bytes: " +
         zelkit::test::toHex(payload.data(), shown) + (shown < payload.size() ? "..." : "");
}

std::string storageList(const Bytes& p) {
  if (p.size() != kStorageListSize || readU16(&p[8]) != 1 || readU16(&p[10]) != 0 || !zeroFrom(p, 14)) {
    return unexpected(p);
  }
  const uint32_t kind = readU32(&p[0]);
  if (kind == kLocalStorage && readU32(&p[4]) == 0 && p[12] == 1 && p[13] == 0) return "local LUN";
  if (kind == kRemoteStorage && p[12] == 0 && (p[13] == kKeepContents || p[13] == kFormat)) {
    return "record to " + addressText(&p[4]) + (p[13] == kFormat ? ", format LUN" : ", keep LUN contents");
  }
  return unexpected(p);
}

std::string spanManager(const Bytes& p, uint16_t num) {
  if (p.size() != kSpanManagerSize || p[8] != 0 || p[9] != 1 || !zeroFrom(p, 10)) return unexpected(p);
  return "camera " + addressText(&p[0]) + ", encoder " + addressText(&p[4]) + ", num " + std::to_string(num);
}

}  // namespace

std::optional<std::string> describeConfigurationRequest(const Frame& request) {
  const Bytes& payload = request.payload;
  switch (request.header.tag) {
    case kTagSetStorageList:
      return "set storage list: " + storageList(payload);
    case kTagStartIscsiServer:
      if (payload == Bytes{0, 0, 0, 1}) return "start iscsi server";
      return "start iscsi server: " + unexpected(payload);
    case kTagSetSpanManager:
      return "set span mgr: " + spanManager(payload, request.header.num);
    default:
      return std::nullopt;
  }
}

}  // namespace zeltest
