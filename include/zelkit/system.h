#pragma once

/// \file
/// The library-wide switches.

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

class ZelClient;

/// Library-wide switches besides the clients: timers, handing callbacks to
/// an application thread, the UDP port range, statistics, suspension of all
/// connections, the worker's end and logging. Static members only; any
/// thread may call them.
///
/// Settings may also come from the environment (`TARVO_KELMO_<Name>`) or the
/// settings file (see the README); the log settings found there win over
/// the setters.
class ZELKIT_API System {
 public:
  /// The suspension of every connection, for setSuspendState.
  enum SuspendState {
    SuspendNone = 0,         ///< Running.
    SuspendSending = 1,      ///< Requests stay queued and nothing is sent.
    SuspendConnections = 2,  ///< Every connection is closed and not reconnected (also any value above).
  };

  /// Items of getInfo.
  enum SystemInfo {
    InfoClientReferences = 0,   ///< data: a ZelClient* (its connection's users) or null (the sum over all connections).
    InfoActiveConnections = 1,  ///< Connections neither idle nor failed.
    InfoTimerCount = 2,         ///< Timers set.
    InfoPacketsInUse = 3,       ///< Packets in use, besides the timers' and the library's own two.
    InfoAppLog = 4,             ///< data: an AppLogRecord*; writes one line with category "app ".
  };

  /// One application line for the log of the client's connection (the
  /// system log when the client is null): the format gets the two arguments.
  struct AppLogRecord {
    ZelClient* client;   ///< Whose connection's log, or null for the system log.
    char const* format;  ///< A printf format taking two ints.
    int argument1;       ///< The first argument.
    int argument2;       ///< The second argument.
  };

  /// From then on callbacks are queued instead of run on the worker, and
  /// handler(context) is called on the worker, under the library's lock, to
  /// announce each; the application runs them with dispatchCallback on a
  /// thread of its own. Cannot be undone. The reply to the login still runs
  /// on the worker.
  /// \param handler Called once per queued callback; it must not block.
  /// \param context Given to the handler.
  static void registerCallbackNotificationHandler(void (*handler)(void*), void* context);
  /// Runs the first queued callback on the calling thread; nothing when none waits.
  static void dispatchCallback();

  /// Sets a timer, replacing any timer of the same callback and context.
  /// It is delivered like a message (on the worker, or through
  /// dispatchCallback) with the tag 0x00400020 and the payload's bytes.
  /// \param ms The first expiry in milliseconds; 0 only removes the timer.
  /// \param periodMs The period after that, or 0 for a single run.
  /// \param callback The callback.
  /// \param context Given to the callback; identifies the timer with it.
  /// \param payload The bytes to deliver; the stream is emptied.
  static void setTimer(int ms, int periodMs, ZelCallback callback, void* context, ZelOutputStream& payload);

  /// Sets the range UDP sockets are bound from (once).
  /// \param base The first port; 0 leaves the range unset.
  /// \param limit The last port.
  /// \return 0, or -1 when a base is already set (nothing changes).
  static int setUdpPortBase(unsigned short base, unsigned short limit);
  /// Reads a statistic, or writes an application log line.
  /// \param item What to read.
  /// \param data As the item says; not read by the others.
  /// \param size Not read.
  /// \return The statistic (0 for InfoAppLog), or -1 for an unknown item.
  static int getInfo(SystemInfo item, void* data, int* size);

  /// Ends the worker loop for good (and the server's discovery responder);
  /// ZelServer::run returns.
  static void terminate();

  /// \return The suspension set last.
  static SuspendState getSuspendState();
  /// Suspends or resumes every connection. Entering SuspendConnections
  /// (from below) closes every connection and returns once the worker has
  /// run after that, so it must not be called on the worker. Leaving it
  /// reconnects the connections that have message callbacks; time spent
  /// suspended counts against no time-out.
  /// \param state The new state.
  static void setSuspendState(SuspendState state);

  /// Removes the context everywhere: scan subscriptions, timers, message
  /// callbacks and the completions of requests of every connection, queued
  /// callbacks and local notifications. Called on another thread than the
  /// worker, it returns once no callback of the context runs.
  /// \param callback The callback, or null for every callback of the context.
  /// \param context The context.
  static void unregisterCallback(ZelCallback callback, void* context);

  /// Switches logging on, into this directory: a log file per connection
  /// and a system log.
  /// \param directory The directory, or null to switch logging off.
  /// \return 0, also when the settings fixed the directory (then nothing changes).
  static int setLoggingDirectory(char const* directory);
  /// Logs only the connections whose URL the expression finds a match in
  /// (default "."); the system log is always written.
  /// \param expression An ECMAScript regular expression.
  /// \return 0, also when the settings fixed the filter.
  /// \throws std::regex_error for an expression that does not compile; the old filter stays.
  static int setLoggingFilter(char const* expression);
  /// With days above 0, logs go into one directory per day, and directories
  /// older than that many days before today are deleted in the background.
  /// \param days The days kept besides today; 0 writes into the log directory itself.
  /// \return 0, also when the settings fixed the retention.
  static int setLoggingRetentionTime(int days);

  /// The class has no data.
  /// \param other Not read.
  /// \return This object.
  System& operator=(System const& other);
};

}  // namespace zelkit
