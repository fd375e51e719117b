#pragma once

// Helpers of the firmware upload tests: firmware files, their MD5 from the
// md5sum program, and the upload events of a client.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/engine/core.h"
#include "core/engine/engine_test_util.h"
#include "zelkit/client.h"

namespace fwtest {

using namespace std::chrono_literals;

inline constexpr uint32_t kStarted = zelkit::detail::LocalEvent::FirmwareUploadStarted;
inline constexpr uint32_t kDone = zelkit::detail::LocalEvent::FirmwareUploadDone;
inline constexpr uint32_t kFailed = zelkit::detail::LocalEvent::FirmwareUploadFailed;

// A firmware file in a fresh directory: pattern bytes, or a hole of the
// size (sparse, reads as zeros).
struct FirmwareFile {
  FirmwareFile(const std::string& name, uint64_t size, bool sparse = false);
  void rewrite(uint64_t size, uint8_t seed);
  std::filesystem::path directory;
  std::filesystem::path path;
};

// 32 lower-case hex characters, from md5sum.
std::string md5Of(const std::filesystem::path& path);

// The upload events of a client's connection, in order.
class UploadEvents {
 public:
  explicit UploadEvents(zelkit::ZelClient& client);
  ~UploadEvents();
  UploadEvents(const UploadEvents&) = delete;
  UploadEvents& operator=(const UploadEvents&) = delete;

  // The nth outcome (Done or Failed), counting from 0, waiting up to the time-out.
  std::optional<uint32_t> outcome(size_t nth = 0, std::chrono::milliseconds timeout = 30s);
  bool sawStarted() const;
  size_t outcomeCount() const;

 private:
  zelkit::ZelClient& client_;
  enginetest::Recorder recorder_;
};

}  // namespace fwtest
