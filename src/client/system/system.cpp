#include "zelkit/system.h"

#include "client/null_reference.h"
#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "zelkit/client.h"

namespace zelkit {

void System::registerCallbackNotificationHandler(void (*handler)(void*), void* context) {
  detail::core().ensureInitialized();
  detail::core().setCallbackNotificationHandler(handler, context);
}

void System::dispatchCallback() { detail::core().dispatchQueuedCallbacks(); }

void System::setTimer(int ms, int periodMs, ZelCallback callback, void* context, ZelOutputStream& payload) {
  detail::Core& engine = detail::core();
  engine.ensureInitialized();
  detail::GlobalLock lock;
  // The engine keeps an earlier timer beside one that brings a payload.
  engine.setTimer(0, 0, callback, context, nullptr);
  if (ms != 0)
    engine.setTimer(static_cast<uint32_t>(ms), static_cast<uint32_t>(periodMs), callback, context,
                    detail::streamOrNull(payload));
}

int System::setUdpPortBase(unsigned short base, unsigned short limit) {
  return detail::core().setUdpPortBase(base, limit);
}

int System::getInfo(SystemInfo item, void* data, int*) {
  switch (item) {
    case InfoClientReferences:
      return detail::Connection::getStatistics(0, static_cast<ZelClient*>(data));
    case InfoActiveConnections:
      return detail::Connection::getStatistics(1, nullptr);
    case InfoTimerCount:
      return detail::core().getTimerCount(2);
    case InfoPacketsInUse:
      // Timers are packets too; 2 is the statistic's fixed offset.
      return detail::ZelPacket::liveCount() - detail::core().getTimerCount(2) - 2;
    case InfoAppLog: {
      const auto* record = static_cast<const AppLogRecord*>(data);
      if (record == nullptr || record->format == nullptr) return -1;
      detail::Connection* connection = record->client != nullptr ? record->client->connection_ : nullptr;
      detail::core().log(connection, "app ", record->format, record->argument1, record->argument2);
      return 0;
    }
  }
  return -1;
}

void System::terminate() {
  detail::GlobalLock lock;
  detail::core().ensureInitialized();
  detail::core().requestTerminate();
}

System::SuspendState System::getSuspendState() {
  return static_cast<SuspendState>(detail::core().suspendState());
}

int System::setLoggingDirectory(char const* directory) { return detail::core().setLoggingDirectory(directory); }

int System::setLoggingFilter(char const* expression) { return detail::core().setLoggingFilter(expression); }

int System::setLoggingRetentionTime(int days) { return detail::core().setLoggingRetentionTime(days); }

System& System::operator=(System const&) { return *this; }

}  // namespace zelkit
