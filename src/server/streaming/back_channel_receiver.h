#pragma once

#include "core/engine/lock.h"
#include "server/media/media_socket.h"
#include "zelkit/server.h"

namespace zelkit::detail {

// One thread reading what clients send on the tunnelled video streams of up
// to 64 media sessions (back-channel media and RTCP acknowledgements) and
// handing it to the application's callback. Lives for the process once made.
//
// Locks: slotsLock guards the sessions and is taken after the library lock
// (handles change under that); callbackLock is held while the application's
// callback runs and while it is replaced, and nothing of the library holds
// another lock when it takes it.
class BackChannelReceiver {
 public:
  static constexpr int SLOTS = 64;

  void setCallback(bool raw, RtpSessionReceiveCallback callback);
  // A session whose tunnelled video is read from now on; ignored without a
  // video stream or when every slot is taken.
  void add(const RtpStreamerSessionRef& session);
  void remove(const RtpStreamerSession* session);
  void start();

 private:
  static void threadEntry(void* receiver);
  [[noreturn]] void run();
  // The sessions whose video socket has something to read.
  int takeReadySessions(const platform::Socket* handles, const bool* ready, int count,
                        RtpStreamerSessionRef (&out)[SLOTS]);
  void serve(const RtpStreamerSessionRef& session);
  void deliver(const RtpStreamerSessionRef& session, uint8_t* packet, int length);

  CriticalSection slotsLock_;
  RtpStreamerSessionRef slots_[SLOTS];
  SocketSet sockets_;
  CriticalSection callbackLock_;
  RtpSessionReceiveCallback callback_ = nullptr;
  bool raw_ = false;
};

// The server's back-channel receiver, or null until the first callback.
BackChannelReceiver* serverBackChannel();

}  // namespace zelkit::detail
