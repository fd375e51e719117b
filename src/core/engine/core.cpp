#include "core/engine/core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/connection/connection.h"
#include "core/wire/conversions.h"
#include "core/wire/exception_table.h"
#include "core/engine/lock.h"
#include "platform/settings.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace zelkit::detail {

namespace {

void workerThreadMain(void* engine) { static_cast<Core*>(engine)->runWorker(); }

}  // namespace

Core& core() {
  static Core* const instance = new Core();
  return *instance;
}

// The engine is built when the library loads, as the one static object it is.
[[maybe_unused]] static Core& builtAtLoad = core();

ZelOutputStream& emptyPayload() {
  static ZelOutputStream* const empty = new ZelOutputStream();
  return *empty;
}

uint32_t tickCount() { return platform::tickCount(); }

void syncRequestMarker(void*, ZelHeader&, ZelInputStream&) {}

Core::Core() { preallocateExceptions(); }

void Core::ensureInitialized() {
  if (ready_.load(std::memory_order_acquire)) return;
  GlobalLock lock;
  // Set while initialisation runs on this thread, or done: another thread
  // that enters meanwhile has waited for the lock above.
  if (initialized) return;
  initialize();
  ready_.store(true, std::memory_order_release);
}

void Core::initialize() {
  initialized = true;
  completionPort = platform::createCompletionPort();
  // Linux has no limit on half-open connects, so echo pacing is off unless
  // the setting asks for it.
  uint32_t noTcpLimits = 1;
  readSettings(noTcpLimits);
  pingSocket = -1;
  if (noTcpLimits == 0) openPingSocket();
  std::srand(static_cast<unsigned>(std::time(nullptr)));
}

void Core::readSettings(uint32_t& noTcpLimits) {
  uint32_t value = 0;
  if (platform::readSettingDword("NoTcpLimits", value)) noTcpLimits = value;
  if (platform::readSettingDword("UdpPortBase", value)) udpPortBase = value & 0xFFFF;
  logRetentionFixed = platform::readSettingDword("ZelpLogRetentionTime", value);
  if (logRetentionFixed) logRetentionDays = static_cast<int32_t>(value);

  char text[2048];
  uint32_t byteCount = 0;
  if (platform::readSettingString("ZelpLogPath", text, sizeof text, byteCount) && byteCount >= 2) {
    logPathFixed = true;
    logDirectory = strdup(text);
  }
  if (platform::readSettingString("ZelpLogFilter", text, sizeof text, byteCount) && byteCount >= 2) {
    try {
      logFilter.assign(text);
      logFilterFixed = true;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "zelkit: ZelpLogFilter \"%s\" is not a valid regular expression (%s); logging every connection\n",
                   text, error.what());
    }
  }
}

void Core::startWorker(bool force, bool forRequest) {
  GlobalLock lock;
  if (!force && (workerStarted || (server_ != nullptr && !forRequest))) return;
  if (platform::startThread(workerThreadMain, this)) workerStarted = true;
}

void Core::requestTerminate() {
  GlobalLock lock;
  terminating_.store(true, std::memory_order_release);
  // No worker times requests out from now on: every synchronous caller ends
  // now, as if its time had run out. (The request itself stays where it is,
  // and completes no one.)
  while (ZelInputStream* stream = armedStreams.first()) {
    ZelPacket* request = stream->request_;
    ZelPacket* failure = ZelPacket::clone(request);
    failure->callback = syncRequestMarker;
    deliver(ResponseTimeout, failure, request);
  }
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next)
    wakeOwnReplyReceiver(connection);
}

uint32_t Core::nextConnectionId() {
  GlobalLock lock;
  connectionIdCounter += 0x10000;
  return connectionIdCounter;
}

void Core::setCallbackNotificationHandler(void (*handler)(void*), void* context) {
  GlobalLock lock;
  notificationHandler = handler;
  notificationContext = context;
}

void* Core::getCurrentCallbackContext() const {
  GlobalLock lock;
  const uint32_t worker = getWorkerThreadId();
  for (const RunningCallback* running = runningCallbacks; running != nullptr; running = running->next)
    if (running->threadId == worker) return running->context;
  return nullptr;
}

bool Core::onWorkerThread() const {
  const uint32_t worker = getWorkerThreadId();
  return worker != 0 && worker == platform::currentThreadId();
}

void Core::resetHousekeepingClock() { lastTick.store(tickCount(), std::memory_order_relaxed); }

Connection* Core::getConnection(const char* url) {
  GlobalLock lock;
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next) {
    if (std::strcmp(connection->url, url) == 0) {
      ++connection->refCount;
      return connection;
    }
  }
  return new Connection(url, nextConnectionId(), 0, false, nullptr);
}

Connection* Core::systemConnection() {
  GlobalLock lock;
  if (logDirectory == nullptr) return nullptr;
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next)
    if (std::strcmp(connection->url, SYSTEM_LOG_URL) == 0) return connection;
  // One reference for the life of the process, however often it is looked up.
  return new Connection(SYSTEM_LOG_URL, nextConnectionId(), 0, false, nullptr);
}

void Core::unlinkConnection(Connection* connection) {
  GlobalLock lock;
  if (connectionCursor == connection) connectionCursor = connection->next;
  connections.remove(connection);
}

void Core::setOwnAddress(const sockaddr* address) {
  GlobalLock lock;
  std::memset(&ownAddress, 0, sizeof ownAddress);
  std::memcpy(&ownAddress, address, address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  addressToText(reinterpret_cast<const sockaddr*>(&ownAddress), ownName_, sizeof ownName_);
}

uint32_t Core::ownIpv4Address() const {
  GlobalLock lock;
  if (ownAddress.sin6_family != AF_INET) return 0;
  return reinterpret_cast<const sockaddr_in*>(&ownAddress)->sin_addr.s_addr;
}

}  // namespace zelkit::detail
