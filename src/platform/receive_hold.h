#pragma once

#include "platform/completion_port.h"
#include "platform/socket.h"
#include "platform/socket_table.h"

namespace zelkit::platform {

// A thread waiting for a reply on one socket takes that socket's receives
// off its completion port for a while: the port stops watching the socket
// for input, so arriving bytes wake only this thread, which performs the
// socket's outstanding receive itself and handles its completion. Given
// back, the port reports what arrived meanwhile.
class ReceiveHold {
 public:
  ReceiveHold() = default;
  ~ReceiveHold() { release(); }
  ReceiveHold(const ReceiveHold&) = delete;
  ReceiveHold& operator=(const ReceiveHold&) = delete;

  // False when the socket is not open on a port or another hold has it.
  bool hold(Socket socket);
  void release();

  // Performs operation when it is the socket's first outstanding receive
  // and it can finish now (Taken, with its completion in out, which the port
  // never sees). Otherwise it waits for input, or it is not the hold's to
  // perform (NotHere): the port performed it before the hold began, or on a
  // hang-up, and completes it; the socket may stay readable meanwhile.
  enum class Take { Taken, WaitForInput, NotHere };
  Take takeReceive(Overlapped* operation, Completion& out);

  // What ends a wait: another thread may wake the holder through its wake
  // descriptor (signalWakeDescriptor); clearWakeups forgets the wake-ups
  // given so far. waitForWakeUp does not look at the socket's input.
  enum class Outcome { Input, Woken, TimedOut, Closed };
  Outcome waitForInput(int timeoutMs);
  Outcome waitForWakeUp(int timeoutMs);
  int wakeDescriptor() const { return wakeFd_; }
  void clearWakeups();

 private:
  Outcome wait(bool watchInput, int timeoutMs);

  SocketUse use_;
  Socket socket_ = 0;
  int wakeFd_ = -1;
  bool held_ = false;
};

}  // namespace zelkit::platform
