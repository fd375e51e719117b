#include "core/connection.h"

// Packet log files are not written yet: no file is opened (logFile stays
// null), so every line and dump is dropped as for a connection without a log.
namespace zelkit::detail {

void Connection::openLog() {}

void Connection::logText(const char*, const char*, int, int) {}

void Connection::logPacketData(const char*, const void*, int, ZelPacket*) {}

void Connection::logPacket(const char* category, ZelPacket* packet) { logPacketData(category, packet->wire + 4, 0, packet); }

}  // namespace zelkit::detail
