#pragma once

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

class ZelClient;

// Library-wide switches besides the clients: timers, handing callbacks to
// an application thread, the UDP port range, statistics, suspension of all
// connections, the worker's end and logging. Static members only.
class ZELKIT_API System {
 public:
  // 0 running; 1 requests stay queued and nothing is sent; 2 and above
  // every connection is closed and not reconnected.
  enum SuspendState {
    SuspendNone = 0,
    SuspendSending = 1,
    SuspendConnections = 2,
  };

  enum SystemInfo {
    InfoClientReferences = 0,   // data: a ZelClient* or null (the sum over all connections)
    InfoActiveConnections = 1,  // connections neither idle nor failed
    InfoTimerCount = 2,
    InfoPacketsInUse = 3,
    InfoAppLog = 4,  // data: an AppLogRecord*; writes one line with category "app "
  };

  // One application line for the log of the client's connection (the system
  // log when the client is null): the format gets the two arguments.
  struct AppLogRecord {
    ZelClient* client;
    char const* format;
    int argument1;
    int argument2;
  };

  // From then on callbacks are queued instead of run on the worker, and
  // handler(context) is called on the worker to announce each; the
  // application runs them with dispatchCallback. Cannot be undone.
  static void registerCallbackNotificationHandler(void (*handler)(void*), void* context);
  // Runs the first queued callback on the calling thread; nothing when none waits.
  static void dispatchCallback();

  // Replaces any timer of the same callback and context. With ms not 0 the
  // new one fires after ms, then every periodMs when that is not 0; it is
  // delivered like a message with the tag 0x00400020 and the payload's
  // bytes. ms 0 only removes. The payload stream is emptied.
  static void setTimer(int ms, int periodMs, ZelCallback callback, void* context, ZelOutputStream& payload);

  // The range UDP sockets are bound from; -1 when a base is already set.
  static int setUdpPortBase(unsigned short base, unsigned short limit);
  // -1 for an unknown item; size is not read.
  static int getInfo(SystemInfo item, void* data, int* size);

  // Ends the worker loop for good.
  static void terminate();

  static SuspendState getSuspendState();
  // Entering 2 (from below 2) closes every connection and returns once the
  // worker has run after that; not to be called on the worker. Leaving it
  // reconnects the connections that have message callbacks.
  static void setSuspendState(SuspendState state);

  // Removes the context everywhere: scan subscriptions, timers, message
  // callbacks and the completions of requests of every connection, queued
  // callbacks and local notifications. Returns once no callback of the
  // context runs on another thread.
  static void unregisterCallback(ZelCallback callback, void* context);

  static int setLoggingDirectory(char const* directory);
  static int setLoggingFilter(char const* expression);
  static int setLoggingRetentionTime(int days);

  System& operator=(System const& other);
};

}  // namespace zelkit
