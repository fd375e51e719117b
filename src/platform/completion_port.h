#pragma once

#include <cstdint>

#include "platform/socket.h"

// A completion port in the manner of Win32 I/O completion ports, over epoll.
//
// Contract:
// - Every operation the layer accepts (a start call that returns 0)
//   completes exactly once, on the port of its socket. A start call that
//   returns an error number queues nothing.
// - Closing a socket completes each of its outstanding operations with
//   status::OperationAborted and touches no buffer of theirs after
//   closeSocket returns.
// - A completion carries copies of its results and of the ticket its start
//   was given: the Overlapped record may be reused for a new operation as
//   soon as its completion has been queued, and the ticket tells its owner
//   which start a completion belongs to, so that a completion of a closed
//   socket never reaches a newer socket that reuses the handle or the record.
// - Posts never complete inline: they are always taken from the port. A
//   send writes what the socket takes at once; the rest, and all waiting
//   for readiness, is done by the thread waiting on the port, inside
//   waitForCompletion. Any one thread may be the one waiting.
namespace zelkit::platform {

struct CompletionPort;

// The OVERLAPPED role: the library puts one first in each of its operation
// records and gets it back with the completion. Its contents belong to the
// layer while an operation is outstanding.
struct Overlapped {
  uint32_t ticket = 0;                // the owner's mark of this start, copied into its completion
  Overlapped* nextPending = nullptr;  // the socket's queue of outstanding operations
  uint32_t kind = 0;
  uint32_t progress = 0;              // bytes already transferred
  void* buffer = nullptr;
  uint32_t length = 0;
  const IoBuffer* pieces = nullptr;  // gather sends: the caller's buffer list
  int pieceCount = 0;
  sockaddr* address = nullptr;        // receive-from: the sender
  int* addressLength = nullptr;
  Socket acceptSocket = 0;            // accept: the socket prepared for the connection
  uint32_t acceptGeneration = 0;      // accept: which opening of that handle was prepared
};

struct Completion {
  bool ok = false;           // GetQueuedCompletionStatus's result
  uint32_t bytes = 0;
  uintptr_t key = 0;
  Overlapped* operation = nullptr;  // null on time-out
  uint32_t ticket = 0;       // the operation's ticket when it was started (or posted)
  uint32_t status = 0;       // status:: number; 0 when ok
};

CompletionPort* createCompletionPort();

// Joins a socket to the port; its completions carry key. Joining it again
// to the same port only changes the key; false (wsa::Invalid) for another
// port.
bool associateSocket(CompletionPort* port, Socket socket, uintptr_t key);

// Waits up to timeoutMs (WaitForever: no limit) for one completion. False
// with operation == null on time-out; false with an operation when that
// operation failed (status says why); true when it succeeded. The thread's
// last error is set to the status (0 on success, WaitTimeout on time-out).
constexpr uint32_t WaitForever = 0xFFFFFFFF;
constexpr uint32_t WaitTimeout = 258;
bool waitForCompletion(CompletionPort* port, uint32_t timeoutMs, Completion& out);

// Queues a completion by hand, with the operation's ticket; it is taken by a
// later wait, never inline.
void postCompletion(CompletionPort* port, uint32_t bytes, uintptr_t key, Overlapped* operation);
// The same once delayMs have passed, as a timer-queue timer posts it; it
// cannot be taken back.
void postCompletionAfter(CompletionPort* port, uint32_t delayMs, uint32_t bytes, uintptr_t key,
                         Overlapped* operation);

// Overlapped operations. Each returns 0 when accepted, else the wsa:: error
// (nothing is queued then).

// Receives 1..length bytes; an orderly end of stream completes successfully
// with 0 bytes; a reset completes with status::NetnameDeleted.
uint32_t startReceive(Socket socket, void* buffer, uint32_t length, Overlapped* operation);
// Gather send of up to MaxSendBuffers buffers; completes once every byte is
// written, or with an error. The list of buffers, like the bytes, stays as it
// is until the send has completed.
uint32_t startSend(Socket socket, const IoBuffer* buffers, int count, Overlapped* operation);
// One datagram and its sender; a datagram longer than the buffer completes
// with status::MoreData and the truncated bytes.
uint32_t startReceiveFrom(Socket socket, void* buffer, uint32_t length, sockaddr* from,
                          int* fromLength, Overlapped* operation);
// Accepts a connection into the socket prepared beforehand (AcceptEx). The
// 64-byte address buffer receives the local address in its first and the
// peer's address in its second 32 bytes.
constexpr int AcceptAddressSlot = 32;
uint32_t startAccept(Socket listener, Socket prepared, void* addressBuffer, Overlapped* operation);
// GetAcceptExSockaddrs: the two addresses of a completed accept's buffer.
void acceptAddresses(void* addressBuffer, sockaddr** local, sockaddr** peer);
// Connects (ConnectEx); completes successfully once connected, else with
// status::ConnectionRefused, status::HostUnreachable, status::SemTimeout, ...
uint32_t startConnect(Socket socket, const sockaddr* address, int length, Overlapped* operation);

}  // namespace zelkit::platform
