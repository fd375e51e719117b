#include <algorithm>
#include <cstring>
#include <string>

#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "core/log/log_file_name.h"
#include "core/log/log_time.h"
#include "core/log/packet_dump.h"
#include "platform/files.h"

namespace zelkit::detail {

void Connection::openLog() {
  GlobalLock lock;
  if (logFile != nullptr) std::fclose(logFile);
  logFile = nullptr;
  const Core& engine = core();
  if (engine.logDirectory == nullptr) return;
  // The system log is never filtered.
  if (std::strcmp(url, SYSTEM_LOG_URL) != 0 && !engine.logFilter.search(url)) return;

  const std::string directory = std::string(engine.logDirectory) + "/" + engine.dayDirectory;
  const std::string path = directory + logFileName(isIpv4() ? ipv4Address() : 0, host, port(), session != nullptr);
  logFile = std::fopen(path.c_str(), "a");
  // The first file of a new day makes the day's directory.
  if (logFile == nullptr && engine.dayDirectory[0] != '\0' && platform::createDirectories(directory.c_str()))
    logFile = std::fopen(path.c_str(), "a");
}

void Connection::logText(const char* category, const char* text, int length, int maxLength) {
  GlobalLock lock;  // lines of different threads never interleave
  if (logFile == nullptr) return;
  std::size_t count = length == 0 ? std::strlen(text) : static_cast<std::size_t>(std::max(length, 0));
  if (maxLength > 0 && count > static_cast<std::size_t>(maxLength)) count = static_cast<std::size_t>(maxLength);
  formatTimestamp(logFile);
  std::fprintf(logFile, "%s ", category);
  std::fwrite(text, 1, count, logFile);
  std::fputc('\n', logFile);
  std::fflush(logFile);
}

void Connection::logPacketData(const char* category, const void* header, int length, ZelPacket* packet) {
  GlobalLock lock;
  if (logFile != nullptr) writePacketDump(logFile, category, header, length, packet);
}

void Connection::logPacket(const char* category, ZelPacket* packet) {
  logPacketData(category, packet->wire + TPKT_HEADER_SIZE, 0, packet);
}

}  // namespace zelkit::detail
