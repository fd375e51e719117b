#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/completion_port.h"
#include "platform/socket_table.h"

// Shared by the port itself (completion_port.cpp) and the overlapped
// operations it completes (overlapped_operations.cpp).
namespace zelkit::platform {

struct DelayedCompletion {
  std::chrono::steady_clock::time_point due;
  Completion completion;
};

struct CompletionPort {
  int epoll = -1;
  int wake = -1;  // eventfd: a completion was queued while a thread slept in epoll_wait
  std::mutex mutex;
  std::deque<Completion> queue;
  std::vector<DelayedCompletion> delayed;  // posts waiting for their time; few
  int sleepers = 0;
  int takenWithoutPolling = 0;
};

// Adds the socket to the port's epoll set, edge-triggered.
bool registerWithPort(SocketSlot& slot, CompletionPort& port);
// Brings the events the port watches the socket for up to date: input
// unless a ReceiveHold has it, output while a send or connect waits (a
// writable socket would otherwise wake the port whenever the set changes).
void updateInterest(SocketSlot& slot);

// The operation's completion as the port hands it out.
Completion completionOf(const SocketSlot& slot, const Overlapped& operation, uint32_t status);
// Queues the operation's completion on the socket's port; the record is not
// touched afterwards.
void complete(const SocketSlot& slot, const Overlapped& operation, uint32_t status);

// Performs the operation (the first of its direction) as far as the socket
// allows: false while it has to wait for readiness, true once it is
// finished, with status telling how. Called with the slot locked.
bool performOperation(const SocketSlot& slot, Overlapped& operation, uint32_t& status);

// Performs the socket's queued operations of one direction in order until
// one has to wait for readiness; called with the slot locked.
void serviceOperations(const SocketSlot& slot, OperationQueue& queue);

}  // namespace zelkit::platform
