#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/completion_port.h"
#include "platform/socket.h"

// The state behind each socket handle, shared by the synchronous calls and
// the completion port. A handle is the descriptor number; its slot lives for
// the whole process, and the generation tells one opening of the number from
// the next, so that late events and stale handles never reach a newer socket.
namespace zelkit::platform {

// A thread blocked in a socket call; closing the socket writes to wakeFd.
struct BlockedWaiter {
  BlockedWaiter* next = nullptr;
  int wakeFd = -1;
};

// Intrusive FIFO of outstanding operations, linked through nextPending.
struct OperationQueue {
  Overlapped* head = nullptr;
  Overlapped* tail = nullptr;

  bool empty() const { return head == nullptr; }
  void push(Overlapped* operation);
  Overlapped* pop();
};

enum class SlotState : uint8_t { Free, Open, Closing };

struct SocketSlot {
  std::mutex mutex;
  SlotState state = SlotState::Free;
  uint32_t generation = 0;
  int fd = -1;
  bool stream = false;
  bool icmpDatagram = false;         // replies need the synthetic IPv4 header
  std::atomic<bool> nonBlocking{false};
  int users = 0;                     // calls using fd outside the mutex; the close waits for them
  BlockedWaiter* waiters = nullptr;

  // Completion port binding, kept by completion_port.cpp.
  CompletionPort* port = nullptr;
  uintptr_t key = 0;
  OperationQueue input;              // receives, receive-froms, accepts
  OperationQueue output;             // sends, connects
  uint32_t interest = 0;             // the events the port's epoll set watches for
  bool receivesHeld = false;         // a ReceiveHold performs the receives (the port watches no input)
};

// The slot of a handle, or null when the number was never a socket of ours.
SocketSlot* findSlot(Socket socket);

// Takes a fresh non-blocking descriptor into the table and returns its
// handle (never 0); InvalidSocket and the last error set when it cannot.
Socket adoptDescriptor(int fd, bool stream, bool icmpDatagram);

// The slot of an open handle, locked for the scope.
class LockedSlot {
 public:
  explicit LockedSlot(Socket socket);
  LockedSlot(const LockedSlot&) = delete;
  LockedSlot& operator=(const LockedSlot&) = delete;

  explicit operator bool() const { return slot_ != nullptr; }
  SocketSlot* operator->() const { return slot_; }
  SocketSlot& operator*() const { return *slot_; }

 private:
  SocketSlot* slot_ = nullptr;
  std::unique_lock<std::mutex> guard_;
};

// A synchronous call's hold on a socket: while it lasts the descriptor is
// not closed (a close only marks it and wakes the holder), so its number
// cannot be reused under a blocked call.
class SocketUse {
 public:
  SocketUse() = default;
  explicit SocketUse(Socket socket) { acquire(socket); }
  ~SocketUse() { release(); }
  SocketUse(const SocketUse&) = delete;
  SocketUse& operator=(const SocketUse&) = delete;

  // False, with the last error set to wsa::NotSocket, when the handle is not open.
  bool acquire(Socket socket);
  void release();

  bool valid() const { return slot_ != nullptr; }
  int fd() const { return slot_->fd; }
  const SocketSlot& slot() const { return *slot_; }
  bool nonBlocking() const { return slot_->nonBlocking.load(std::memory_order_relaxed); }
  uint32_t generation() const { return generation_; }
  // False once the socket was closed under this use.
  bool stillOpen() const;

  // Registers the calling thread to be woken when the socket is closed;
  // the registration ends with the use. False when it was closed already.
  bool watchClose(int wakeFd);

 private:
  SocketSlot* slot_ = nullptr;
  uint32_t generation_ = 0;
  BlockedWaiter waiter_;
  bool watching_ = false;
};

// The calling thread's wake descriptor (an eventfd), -1 when none could be made.
int threadWakeDescriptor();
// Clears the calling thread's wake descriptor after it fired.
void drainWakeDescriptor(int wakeFd);
// Wakes the thread that polls the descriptor.
void signalWakeDescriptor(int wakeFd);

// Waits until the socket is ready for events (POLLIN/POLLOUT). False when
// it was closed meanwhile (last error wsa::Interrupted).
bool waitUntilReady(SocketUse& use, short events);

// Completes the outstanding operations of a closing socket with
// status::OperationAborted and leaves the port; called with the slot locked.
void abortPortOperations(SocketSlot& slot);

}  // namespace zelkit::platform
