#include <algorithm>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "platform/errors.h"
#include "platform/thread.h"
#include "zelkit/server.h"

namespace zelkit::detail {

void Core::runWorker() {
  workerThreadId_.store(platform::currentThreadId(), std::memory_order_relaxed);
  int completions = 0;
  lastTick.store(tickCount(), std::memory_order_relaxed);
  for (;;) {
    platform::Completion completion;
    platform::waitForCompletion(completionPort, WORKER_WAIT_MS, completion);
    if (isTerminating()) return;
    // A busy port reads the clock only every few completions.
    if (completion.operation != nullptr && ++completions < COMPLETIONS_BETWEEN_TIME_CHECKS) {
      handleCompletion(completion);
      continue;
    }
    completions = 0;
    const uint32_t tick = tickCount();
    const int32_t elapsed = static_cast<int32_t>(tick - lastTick.load(std::memory_order_relaxed));
    if (elapsed > HOUSEKEEPING_INTERVAL_MS) {
      if (elapsed > WORKER_BLOCKED_WARNING_MS)
        log(nullptr, "run ", "Worker thread blocked for %d Milliseconds.", elapsed);
      lastTick.store(tick, std::memory_order_relaxed);
      {
        GlobalLock lock;
        now = tick;
        runHandedOffDeliveries();
        housekeeping(static_cast<uint32_t>(elapsed));
      }
      flushDeferredSends();
      flushWakeups();
    }
    if (completion.operation != nullptr) handleCompletion(completion);
  }
}

void Core::handleCompletion(const platform::Completion& completion) {
  dispatchCompletion(completion);
  flushDeferredSends();
  flushWakeups();
}

void Core::deferSend(Connection* connection) {
  if (connection->sendDeferred) return;
  connection->sendDeferred = true;
  deferredSends.push_back(connection);
}

void Core::forgetDeferredSend(Connection* connection) {
  if (!connection->sendDeferred) return;
  connection->sendDeferred = false;
  // Blanked, not erased: a flush under way keeps its places.
  std::replace(deferredSends.begin(), deferredSends.end(), connection, static_cast<Connection*>(nullptr));
}

void Core::flushDeferredSends() {
  GlobalLock lock;
  // Taken by index: a send may fail and close its connection, whose requests
  // may defer more, and a connection freed meanwhile leaves a blank.
  for (std::size_t i = 0; i < deferredSends.size(); ++i) {
    Connection* connection = deferredSends[i];
    if (connection == nullptr) continue;
    connection->sendDeferredNow();
  }
  deferredSends.clear();
}

void Core::dispatchCompletion(const platform::Completion& completion) {
  auto* operation = reinterpret_cast<IoOperation*>(completion.operation);
  switch (operation->mode) {
    case ScanReceive:
      if (scanHandler_ != nullptr)
        scanHandler_(operation, completion.key, completion.ok, completion.bytes, completion.status);
      return;
    case Accept:
      onAcceptCompletion(operation, completion.ok, completion.status);
      return;
    case PingReceive:
      onPingCompletion(completion.ok, completion.status);
      return;
    case HandedOffDeliveries: {
      GlobalLock lock;
      runHandedOffDeliveries();
      return;
    }
    case ConnectionReceive:
    case ConnectionSend: {
      GlobalLock lock;
      // What a caller received before this completion is delivered first.
      runHandedOffDeliveries();
      auto* connection = reinterpret_cast<Connection*>(completion.key);
      const bool client = connection->session == nullptr;  // an accepted one may be freed by its completion
      onConnectionCompletion(connection, operation, completion);
      if (client) wakeOwnReplyReceiver(connection);
      return;
    }
    default:
      log(nullptr, "iocp", "Unexpected IOCP mode %x", operation->mode);
  }
}

void Core::onConnectionCompletion(Connection* connection, IoOperation* operation,
                                  const platform::Completion& completion) {
  const uint32_t mode = operation->mode;
  if (!connection->claimCompletion(mode, completion.ticket)) {
    // Its socket was closed after it completed, or closed under it (then it
    // was aborted); the record may already serve the next socket. Only the
    // reference its operation held on the session is left to let go of.
    if (completion.status == platform::status::OperationAborted)
      log(nullptr, "tx  ", "ERROR_OPERATION_ABORTED retry tbd");
    releaseSessionReference(connection);
    return;
  }
  if (!completion.ok) {
    onConnectionFailure(connection, mode, completion.status);
    return;
  }
  if (mode == ConnectionReceive) {
    // While reading is paused no receive is outstanding: this is the resume
    // posted once the replies had drained. An empty datagram ends nothing.
    if (connection->readingPaused)
      connection->resumeReading();
    else if (completion.bytes == 0 && connection->receivePhase != ReceivePhase::Datagram)
      connection->close(LocalEvent::ConnectionClosed, "Server disconnect", 0);
    else
      connection->onReceived(completion.bytes);
  } else {
    connection->finishSend();
    switch (connection->state) {
      case ConnectionState::Connecting:
        connection->onConnected();
        break;
      case ConnectionState::Registered:
      case ConnectionState::TransportUp:  // a registration packet queued while this send was out
        connection->sendQueued();
        break;
      default:
        break;
    }
  }
  releaseSessionReference(connection);
}

void Core::onConnectionFailure(Connection* connection, uint32_t mode, uint32_t error) {
  if (mode == ConnectionSend) connection->finishSend();
  if (mode == ConnectionReceive && connection->receivePhase == ReceivePhase::Datagram &&
      error == platform::status::MoreData) {
    // Larger than any reply: dropped, and the replies after it still arrive.
    connection->startDatagramReceive();
    return;
  }
  // Closing an accepted connection may end its session and delete it.
  const bool accepted = connection->session != nullptr;
  if (accepted && releaseSessionReference(connection)) return;
  switch (error) {
    case platform::status::ConnectionRefused:
      connection->close(LocalEvent::ConnectFailed, "Connection refused", 0);
      if (!accepted) checkRequestTimeouts(connection, 0);
      return;
    case platform::status::Success:
    case platform::status::NetnameDeleted:
    case platform::status::HostUnreachable:
    case platform::status::ConnectionAborted:
      if (mode == ConnectionReceive && connection->state == ConnectionState::Connecting) return;
      connection->close(LocalEvent::ConnectionClosed, "Socket error %d", error);
      if (!accepted) checkRequestTimeouts(connection, 0);
      return;
    default:
      log(nullptr, "io  ", "Unexpected error %d mode %x", error, mode);
  }
}

bool Core::releaseSessionReference(Connection* connection) {
  if (connection->session == nullptr) return false;
  return connection->session->release();
}

}  // namespace zelkit::detail
