#include "client/firmware/upload_test_util.h"

#include <fstream>
#include <stdexcept>
#include <vector>

#include "support/external_tool.h"
#include "support/log_lines.h"

namespace fwtest {

namespace {

void writePattern(const std::filesystem::path& path, uint64_t size, uint8_t seed) {
  std::vector<char> bytes(static_cast<size_t>(size));
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 + i / 253 + seed);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool isOutcome(uint32_t tag) { return tag == kDone || tag == kFailed; }

}  // namespace

FirmwareFile::FirmwareFile(const std::string& name, uint64_t size, bool sparse)
    : directory(zeltest::temporaryDirectory("firmware")), path(directory / name) {
  if (sparse) {
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, size);
  } else {
    writePattern(path, size, 0);
  }
}

void FirmwareFile::rewrite(uint64_t size, uint8_t seed) { writePattern(path, size, seed); }

std::string md5Of(const std::filesystem::path& path) {
  const auto output = zelkit::test::runTool("md5sum '" + path.string() + "'");
  if (!output || output->size() < 32) throw std::runtime_error("md5sum failed");
  return std::string(output->begin(), output->begin() + 32);
}

UploadEvents::UploadEvents(zelkit::ZelClient& client) : client_(client) {
  client_.registerMessageCallback(enginetest::Recorder::callback, &recorder_);
}

UploadEvents::~UploadEvents() { client_.unregisterCallback(enginetest::Recorder::callback, &recorder_); }

std::optional<uint32_t> UploadEvents::outcome(size_t nth, std::chrono::milliseconds timeout) {
  std::optional<uint32_t> found;
  enginetest::waitUntil(
      [&] {
        size_t seen = 0;
        for (const auto& delivery : recorder_.deliveries())
          if (isOutcome(delivery.tag) && seen++ == nth) found = delivery.tag;
        return found.has_value();
      },
      timeout);
  return found;
}

bool UploadEvents::sawStarted() const {
  for (const auto& delivery : recorder_.deliveries())
    if (delivery.tag == kStarted) return true;
  return false;
}

size_t UploadEvents::outcomeCount() const {
  size_t count = 0;
  for (const auto& delivery : recorder_.deliveries())
    if (isOutcome(delivery.tag)) ++count;
  return count;
}

}  // namespace fwtest
