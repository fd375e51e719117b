#pragma once

#include <cstdint>

namespace zelkit::detail {

// Command words of replay control.
namespace ReplayCommand {
constexpr uint32_t SliceList = 0x09010C30;
constexpr uint32_t EndOfSlice = 0x09030030;  // pushed by the device
constexpr uint32_t Stop = 0x09030031;        // one octet, 1
constexpr uint32_t SliceEnd = 0x09040C31;    // end of the slice being moved to
constexpr uint32_t Jump = 0x09050C31;        // target time, local
constexpr uint32_t Speed = 0x09020431;       // one octet from play, four bytes from a slice change
constexpr uint32_t VcdLayer = 0x09C80831;
constexpr uint32_t ProfileFilter = 0x0A5F0831;
}  // namespace ReplayCommand

constexpr int SLICE_LIST_TIMEOUT_MS = 5000;

}  // namespace zelkit::detail
