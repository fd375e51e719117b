#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr uint32_t kSetStorageList = 0x0A370C31;
constexpr uint32_t kStartIscsiServer = 0x0A2B0831;
constexpr uint32_t kSetSpanManager = 0x0A360C31;
constexpr uint32_t kRecordingCommands[] = {kSetStorageList, kStartIscsiServer, kSetSpanManager};

// A recording set-up request in words, such as "set storage list: record to
// 127.0.0.2, format LUN"; a payload of none of the known layouts is shown
// in hex.
std::string describeRecordingRequest(uint32_t command, uint16_t num, const std::vector<uint8_t>& payload);

std::string toHex(const std::vector<uint8_t>& bytes);
