#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <vector>

#include "core/engine/accept_backoff.h"
#include "core/engine/event.h"
#include "core/engine/list.h"
#include "core/log/log_filter.h"
#include "core/wire/packet.h"
#include "platform/completion_port.h"
#include "platform/socket.h"

namespace zelkit {
class ZelServer;
class ZelSessionRef;
}  // namespace zelkit

namespace zelkit::detail {

class Connection;

// The mode word behind each overlapped record tells the worker whose
// completion it is.
enum IoMode : uint32_t {
  ConnectionReceive = 0xdead0001,
  ConnectionSend = 0xdead0002,
  ScanReceive = 0xdead0003,
  Accept = 0xdead0004,
  PingReceive = 0xdead0005,
  HandedOffDeliveries = 0xdead0006,  // posted: callbacks wait in the worker's hand-off list
};

struct IoOperation {
  platform::Overlapped record;  // first, so a completion's record leads back here
  uint32_t mode;
};

// Tags of the notifications the library posts to message callbacks itself.
namespace LocalEvent {
constexpr uint32_t Registered = 0x00100020;
constexpr uint32_t ConnectionClosed = 0x00110020;
constexpr uint32_t ConnectFailed = 0x00120020;
constexpr uint32_t RegisteredResultZero = 0x00130020;
constexpr uint32_t ResolveFailed = 0x00140020;
constexpr uint32_t AddressInvalid = 0x00150020;
constexpr uint32_t DeviceListChanged = 0x00200020;
constexpr uint32_t FirmwareUploadStarted = 0x00300020;
constexpr uint32_t FirmwareUploadDone = 0x00310020;
constexpr uint32_t FirmwareUploadFailed = 0x00320020;
constexpr uint32_t Timer = 0x00400020;
constexpr uint32_t ListenerFailed = 0x00500020;
}  // namespace LocalEvent

constexpr uint32_t WORKER_WAIT_MS = 100;
constexpr int32_t HOUSEKEEPING_INTERVAL_MS = 500;
constexpr int32_t WORKER_BLOCKED_WARNING_MS = 2000;
constexpr int COMPLETIONS_BETWEEN_TIME_CHECKS = 11;
constexpr int32_t DEFAULT_REQUEST_TIMEOUT_MS = 5000;
constexpr int32_t DEFAULT_CONNECT_TIMEOUT_MS = 3000;
constexpr int32_t CALLBACK_SLOW_MS = 500;
// close() gives every queued and pending request this remaining time; the
// next time-out pass completes them with ConnectionReset.
constexpr int32_t RESET_REMAINING_MS = -100000;
constexpr int32_t RESET_THRESHOLD_MS = -99999;
constexpr int32_t CONTINUATION_REMAINING_MS = 0x7FFFFFFF;
constexpr int32_t SERVER_KEEPALIVE_INTERVAL_MS = 600000;
constexpr int32_t ACCEPTED_LIVE_CHECK_INTERVAL_MS = 540000;
constexpr int LISTENER_COUNT = 3;
constexpr int ACCEPT_BUFFER_SIZE = 2 * platform::AcceptAddressSlot;
constexpr int PING_BUFFER_SIZE = 64;
constexpr char SYSTEM_LOG_URL[] = "127.1.1.1";

// The marker in a packet's callback field that makes it a synchronous
// request; compared, never called.
void syncRequestMarker(void* context, ZelHeader& header, ZelInputStream& stream);

uint32_t tickCount();

// RFC 1071 Internet checksum over 16-bit words; an odd last byte is added alone.
uint16_t icmpChecksum(const uint8_t* data, int length);

// The process-wide empty payload (requests without payload); never destroyed.
ZelOutputStream& emptyPayload();

// The device's error octet of an error reply or local failure notice: the
// first payload byte, 0xFF when the payload is empty.
int firstErrorOctet(const ZelPacket* packet);

// Completion handler of the network scanner's receive slots, which run
// without the library lock.
using ScanCompletionHandler = void (*)(IoOperation* operation, uintptr_t key, bool ok, uint32_t bytes,
                                       uint32_t status);

// The one I/O engine of the process: completion port, worker loop,
// connections, timers, callback delivery, listeners, ping socket and UDP
// ports. Built at load and never destroyed (library threads may still run
// while static destructors do); everything but the plain settings is
// guarded by the library lock.
class Core {
 public:
  Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // Start-up and settings.
  void ensureInitialized();
  // Starts the worker thread unless one runs (force: regardless). A server
  // object keeps the loop for its own run or start, but only from timers: a
  // request starts the worker, since its caller would otherwise wait for a
  // loop that nobody runs yet.
  void startWorker(bool force, bool forRequest = false);
  void requestTerminate();
  bool isTerminating() const { return terminating_.load(std::memory_order_acquire); }
  uint32_t nextConnectionId();
  void setCallbackNotificationHandler(void (*handler)(void*), void* context);
  List<Event>& getWaiterList() { return waiters; }
  void* getCurrentCallbackContext() const;
  uint32_t getWorkerThreadId() const { return workerThreadId_.load(std::memory_order_relaxed); }
  bool onWorkerThread() const;
  platform::CompletionPort* port() const { return completionPort; }
  int32_t connectTimeout() const { return connectTimeoutMs_.load(std::memory_order_relaxed); }
  void setConnectTimeout(int32_t ms) { connectTimeoutMs_.store(ms, std::memory_order_relaxed); }
  int32_t defaultTimeout() const { return defaultTimeoutMs_.load(std::memory_order_relaxed); }
  void setDefaultTimeout(int32_t ms) { defaultTimeoutMs_.store(ms, std::memory_order_relaxed); }
  uint32_t suspendState() const { return suspendState_.load(std::memory_order_relaxed); }
  void setSuspendStateValue(uint32_t state) { suspendState_.store(state, std::memory_order_relaxed); }
  // Restarts the elapsed-time measurement of the worker (after suspension).
  void resetHousekeepingClock();
  void setScanCompletionHandler(ScanCompletionHandler handler) { scanHandler_ = handler; }

  // Logging settings; a value fixed by the settings store ignores the setter.
  bool loggingEnabled() const { return logDirectory != nullptr; }
  int setLoggingDirectory(const char* directory);
  int setLoggingFilter(const char* expression);
  int setLoggingRetentionTime(int days);
  void applyLogging();
  void checkLogDayRollover();
  bool logFilterMatches(const char* url) const;
  // One line in a connection's log, or in the system log for null.
  void log(Connection* connection, const char* category, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void vlog(Connection* connection, const char* category, const char* format, va_list arguments);

  // Worker loop and housekeeping.
  void runWorker();
  // One completion taken from the port, handled as the worker loop does (a
  // harness that drives the port on its own thread calls it too).
  void handleCompletion(const platform::Completion& completion);
  void housekeeping(uint32_t elapsedMs);
  void tickDeferredConnects(uint32_t elapsedMs);

  // Requests and delivery. sendRequest returns the transaction id, or
  // WAITING_FOR_TRANSACTION_ID for a request that waits for one; it can
  // throw BadParameterException*.
  int sendRequest(int32_t timeoutMs, Connection* connection, const ZelHeader& header, uint32_t mode,
                  ZelOutputStream& payload, ZelInputStream* response, ZelCallback callback, void* context);
  void removePendingStream(ZelInputStream* stream);
  // Inside an application thread's outermost sendRequest, the connection's
  // queue is written once the lock is let go (Connection::sendQueuedUnlocked):
  // true when this connection's is.
  bool deferSendUntilUnlocked(Connection* connection);
  // Requests made while a completion is handled (by callbacks, replies that
  // free a transaction id, keep-alive answers, ...) are sent together once it
  // is handled: one gathered send per connection instead of one per request.
  // That is on the worker, and on a caller that receives its own reply.
  bool handlesCompletions() const { return onWorkerThread() || handingOffCallbacks(); }
  void deferSend(Connection* connection);
  void forgetDeferredSend(Connection* connection);
  void flushDeferredSends();
  void deliver(uint32_t code, ZelPacket* packet, ZelPacket* request);
  // A synchronous caller may receive its connection's frames itself while
  // it waits (a thread woken by its own reply instead of by the worker); the
  // callbacks among those frames are handed to the worker, in order, and a
  // reply behind them waits for the worker too (the caller then sleeps until
  // it has run them). False when the caller cannot do so now and is to sleep
  // instead; true once the stream has completed.
  bool receiveOwnReply(Connection* connection, ZelInputStream& stream);
  // Writes what a synchronous request queued on the connection, catching a
  // reply that comes meanwhile the same way.
  void writeCatchingReply(Connection* connection);
  // Completes every piece of a chain that cannot be sent: the first with
  // code, the continuation fragments freed.
  void failChain(PacketChain& chain, uint32_t code);
  void errorCodeOf(ZelHeader& header, const ZelPacket* packet);
  void dispatchQueuedCallbacks();
  // Returns the number of requests completed.
  int checkRequestTimeouts(Connection* connection, uint32_t elapsedMs);
  void notifyLocal(uint32_t code, Connection* connection);
  // Waits (lock released) until no other thread runs a callback of the
  // context.
  void waitForCallbacksOf(void* context);
  // Drops what of the connection is still to be delivered into the context:
  // its packets in the callback queue (a null context: also every request
  // completion of the connection there, as on its pending list) and its
  // local notifications not yet posted. A null connection stands for the
  // deliveries of no connection (the network scanner's).
  void discardDeliveriesOf(const Connection* connection, void* context);

  // Timers.
  void setTimer(uint32_t timeMs, uint32_t periodMs, ZelCallback callback, void* context, ZelOutputStream* payload);
  // Removes the timers of the context, and their firings waiting in the
  // callback queue.
  void removeTimers(ZelCallback callback, void* context);
  int getTimerCount(int item);

  // UDP sockets from the configured port range.
  platform::Socket getUdpSocket(int family, uint16_t port, uint16_t* portOut, bool reuseAddress);
  uint16_t bindUdpPort(platform::Socket socket, int family, uint16_t from, uint16_t upper);
  int setUdpPortBase(uint16_t base, uint16_t limit);

  // ICMP echo that paces connects.
  void openPingSocket();
  bool pingSocketOpen() const { return pingSocket >= 0; }
  int sendPing(uint32_t address);

  // Listeners and the server.
  void setServer(ZelServer* server);
  ZelServer* server() const { return server_; }  // under the lock
  void setServerPort(int index, uint16_t port);
  uint16_t serverPort(int index) const { return serverPorts[index]; }  // under the lock
  void startServer(uint16_t zelPort, bool runInBackground);
  ZelSessionRef getSessionRef(uint16_t clientId);

  // Connections.
  Connection* getConnection(const char* url);
  List<Connection>& connectionList() { return connections; }
  // The pseudo connection of the system log, or null while logging is off.
  Connection* systemConnection();
  // A connection leaving the list moves the housekeeping walk past it.
  void unlinkConnection(Connection* connection);

  // The host's address as seen on the first registered connection.
  bool knowsOwnAddress() const { return ownAddress.sin6_family != 0; }
  void setOwnAddress(const sockaddr* address);
  uint32_t ownIpv4Address() const;
  const char* ownName() const { return ownName_; }

 private:
  friend class Connection;

  void initialize();
  // sendRequest's work under the lock.
  int submitRequest(int32_t timeoutMs, Connection* connection, const ZelHeader& header, uint32_t mode,
                    ZelOutputStream& payload, ZelInputStream* response, ZelCallback callback, void* context);
  void readSettings(uint32_t& noTcpLimits);
  void dispatchCompletion(const platform::Completion& completion);
  void onConnectionCompletion(Connection* connection, IoOperation* operation, const platform::Completion& completion);
  void onConnectionFailure(Connection* connection, uint32_t mode, uint32_t error);
  bool releaseSessionReference(Connection* connection);
  void checkLiveness(Connection* connection);
  void runTimers(uint32_t elapsedMs);
  // timed: measure the call, to log a slow one.
  void invokeCallback(ZelCallback callback, void* context, ZelPacket* packet, bool timed);
  ZelPacket* newLocalPacket(uint32_t tag, ZelCallback callback, void* context);
  void postPingReceive();
  void onPingCompletion(bool ok, uint32_t status);
  void onPingReply();
  void postAccept(int index);
  // Posts the accept again once the listener's pause is over.
  void pauseAccept(int index, uint32_t error);
  void onAcceptCompletion(IoOperation* operation, bool ok, uint32_t status);
  void acceptConnection(int index);

  // A callback running now, on the worker or inside dispatchCallback.
  struct RunningCallback {
    RunningCallback* next;
    void* context;
    uint32_t threadId;
  };
  void runCallbackTracked(ZelCallback callback, void* context, ZelPacket* packet);
  // Deliveries a synchronous caller left for the worker, run on the worker
  // before anything newer of a connection.
  class OwnReplyReceiver;
  static bool handingOffCallbacks();  // this thread receives its own reply
  void handOffToWorker(ZelPacket* packet);
  void runHandedOffDeliveries();
  // Wakes a caller that receives its own reply on the connection, when this
  // thread completed something for it.
  void wakeOwnReplyReceiver(const Connection* connection);
  // The worker wakes synchronous waiters once it has let go of the lock,
  // which they need next.
  void wakeWaiter(void* event);
  void flushWakeups();

  sockaddr_in6 ownAddress{};
  char ownName_[128] = {};
  char* logDirectory = nullptr;
  LogFilter logFilter{"."};
  int32_t logRetentionDays = 0;
  char dayDirectory[32] = {};
  std::atomic<int32_t> connectTimeoutMs_{DEFAULT_CONNECT_TIMEOUT_MS};
  std::atomic<int32_t> defaultTimeoutMs_{DEFAULT_REQUEST_TIMEOUT_MS};
  bool logPathFixed = false;
  bool logFilterFixed = false;
  bool logRetentionFixed = false;
  bool initialized = false;
  std::atomic<bool> ready_{false};
  std::atomic<bool> terminating_{false};
  uint32_t connectionIdCounter = 0;
  List<ZelInputStream> armedStreams;
  List<ZelPacket> callbackQueue;
  bool workerStarted = false;
  List<Connection> connections;
  void (*notificationHandler)(void*) = nullptr;
  void* notificationContext = nullptr;
  List<ZelPacket> timers;
  platform::CompletionPort* completionPort = nullptr;
  IoOperation listenOps[LISTENER_COUNT] = {};
  IoOperation pingOp = {};
  platform::Socket acceptSockets[LISTENER_COUNT] = {};
  platform::Socket pingSocket = -1;
  bool pingReceivePosted = false;
  uint8_t pingBuffer[PING_BUFFER_SIZE] = {};
  sockaddr_in6 pingFrom{};
  int pingFromLength = 0;
  ZelPacket* timerCursor = nullptr;
  Connection* connectionCursor = nullptr;
  uint32_t now = 0;
  List<Event> waiters;
  RunningCallback* runningCallbacks = nullptr;
  std::atomic<uint32_t> workerThreadId_{0};
  uint32_t udpPortBase = 0;
  uint32_t udpPortLimit = 0;
  uint16_t nextUdpPort = 0;
  std::atomic<uint32_t> suspendState_{0};
  std::atomic<uint32_t> lastTick{0};
  std::vector<Connection*> deferredSends;
  ZelServer* server_ = nullptr;
  uint16_t serverPorts[LISTENER_COUNT] = {};
  platform::Socket listenSockets[LISTENER_COUNT] = {};
  uint8_t acceptBuffers[LISTENER_COUNT][ACCEPT_BUFFER_SIZE] = {};
  // Posted back to the port when a listener's pause is over.
  IoOperation acceptRetryOps[LISTENER_COUNT] = {};
  AcceptBackoff acceptBackoffs[LISTENER_COUNT];
  ScanCompletionHandler scanHandler_ = nullptr;
  static constexpr int MAX_DEFERRED_WAKEUPS = 64;
  void* deferredWakeups[MAX_DEFERRED_WAKEUPS] = {};
  int deferredWakeupCount = 0;
  List<ZelPacket> handedOff;
  // Handed off and not yet delivered (the one the worker runs included).
  int handOffsUnsettled = 0;
  IoOperation handOffOp = {{}, HandedOffDeliveries};
};

// The process's engine.
Core& core();

}  // namespace zelkit::detail
