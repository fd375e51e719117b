#pragma once

#include <optional>
#include <string>

#include "support/wire_codec.h"

namespace zeltest {

inline constexpr uint32_t kTagSetStorageList = 0x0A370C31;
inline constexpr uint32_t kTagStartIscsiServer = 0x0A2B0831;
inline constexpr uint32_t kTagSetSpanManager = 0x0A360C31;

// A recording set-up request in words, decoded from its payload, such as
// "set storage list: record to 127.0.0.2, format LUN". Nothing for other
// requests (the session's own: login, live checks). A payload that fits none
// of the known layouts is shown in hex.
std::optional<std::string> describeConfigurationRequest(const Frame& request);

}  // namespace zeltest
