#include "core/log/log_eraser.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "core/engine/core.h"
#include "core/log/log_time.h"
#include "core/log/system_log.h"
#include "platform/files.h"
#include "platform/thread.h"

namespace zelkit::detail {

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;

struct EraserJob {
  std::string directory;
  int32_t retentionDays;
  std::time_t now;
};

// Local midnight of a day directory's date; false when the name is no date.
bool dayDirectoryStart(const char* name, std::time_t& start) {
  int year = 0, month = 0, day = 0;
  if (std::sscanf(name, "%04d-%02d-%02d", &year, &month, &day) != 3) return false;
  std::tm midnight{};
  midnight.tm_year = year - 1900;
  midnight.tm_mon = month - 1;
  midnight.tm_mday = day;
  start = std::mktime(&midnight);
  return start != static_cast<std::time_t>(-1);
}

void eraseIfExpired(const char* name, platform::EntryType type, void* context) {
  const auto* job = static_cast<const EraserJob*>(context);
  std::time_t start;
  if (!dayDirectoryStart(name, start)) return;
  // With retention N, today's directory and the N days before it stay.
  if (int64_t{job->now} - start < (int64_t{job->retentionDays} + 1) * SECONDS_PER_DAY) return;
  const std::string path = job->directory + "/" + name;
  if (type == platform::EntryType::Directory)
    deleteDirectoryTree(path.c_str());
  else if (type == platform::EntryType::SymbolicLink)
    platform::removeFile(path.c_str());
}

void deleteEntry(const char* name, platform::EntryType type, void* context) {
  const std::string path = *static_cast<const std::string*>(context) + "/" + name;
  if (type == platform::EntryType::Directory)
    deleteDirectoryTree(path.c_str());
  else
    platform::removeFile(path.c_str());  // a link goes, not what it points to
}

}  // namespace

void startLogEraser(const char* directory, int32_t retentionDays) {
  auto* job = new EraserJob{directory, retentionDays, 0};
  if (!platform::startThread(logEraserThread, job)) delete job;
}

void logEraserThread(void* argument) {
  const std::unique_ptr<EraserJob> job(static_cast<EraserJob*>(argument));
  const uint32_t start = tickCount();
  int milliseconds;
  logWallClock(job->now, milliseconds);
  platform::listDirectory(job->directory.c_str(), eraseIfExpired, job.get());
  logSystem("eras", "Erasing files took %d ms", static_cast<int>(tickCount() - start));
}

void deleteDirectoryTree(const char* path) {
  // A directory that cannot be listed is still removed when it is empty.
  std::string directory = path;
  platform::listDirectory(path, deleteEntry, &directory);
  platform::removeDirectory(path);
}

}  // namespace zelkit::detail
