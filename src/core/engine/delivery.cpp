#include <atomic>
#include <exception>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/engine/unlocked_send.h"
#include "platform/thread.h"

namespace zelkit::detail {

int firstErrorOctet(const ZelPacket* packet) { return packet->payloadLength >= 1 ? packet->payload()[0] : 0xFF; }

void Core::deliver(uint32_t code, ZelPacket* packet, ZelPacket* request) {
  if (code > 255) ZelPacket::setError(packet, static_cast<ErrorCodes>(code));
  const ZelCallback callback = packet->callback;
  if (callback == syncRequestMarker) {
    for (ZelInputStream* stream = armedStreams.first(); stream != nullptr; stream = stream->next_) {
      if (request == nullptr || stream->request_ != request) continue;
      void* waiter = request->waiterEvent;
      if (handingOffCallbacks() && handOffsUnsettled > 0) {
        // The callbacks of frames before this reply wait for the worker: so
        // does the reply, or the call would return before they ran. The
        // stream waits for the reply packet from now on (the request is
        // freed after this).
        stream->request_ = packet;
        packet->waiterEvent = waiter;
        handOffToWorker(packet);
        return;
      }
      // Done with the stream here, so that its waiter needs no lock when it
      // wakes: off the list, and no longer tied to the request, which is
      // freed after this (a new packet may reuse its memory).
      armedStreams.remove(stream);
      stream->request_ = nullptr;
      stream->setPayload(packet);
      std::atomic_ref<uint16_t>(stream->state_).store(2, std::memory_order_release);
      if (waiter != nullptr) wakeWaiter(waiter);
      return;
    }
    ZelPacket::free(packet);
    return;
  }
  if (callback == nullptr) {
    ZelPacket::free(packet);
    return;
  }
  if (callback == Connection::onRegisterReply) {
    // The login's outcome is applied under the lock it was matched or
    // expired under: with the lock let go in between, a close could come
    // first, and the outcome of the closed socket would revive it.
    invokeCallback(callback, packet->context, packet, loggingEnabled());
    ZelPacket::free(packet);
    return;
  }
  if (handingOffCallbacks()) {
    handOffToWorker(packet);
    return;
  }
  if (notificationHandler != nullptr) {
    callbackQueue.append(packet);
    notificationHandler(notificationContext);
    return;
  }
  runCallbackTracked(callback, packet->context, packet);
  ZelPacket::free(packet);
}

void Core::handOffToWorker(ZelPacket* packet) {
  const bool first = handedOff.isEmpty();
  handedOff.append(packet);
  ++handOffsUnsettled;
  if (first) platform::postCompletion(completionPort, 0, 0, &handOffOp.record);
}

void Core::runHandedOffDeliveries() {
  // Taken one by one: a callback lets go of the lock, and more may come. A
  // synchronous reply among them is its own request (see deliver).
  while (ZelPacket* packet = handedOff.popFront()) {
    deliver(0, packet, packet->callback == syncRequestMarker ? packet : nullptr);
    --handOffsUnsettled;
  }
}

void Core::wakeWaiter(void* event) {
  if (!onWorkerThread() || deferredWakeupCount == MAX_DEFERRED_WAKEUPS) {
    signalEvent(event);
    return;
  }
  deferredWakeups[deferredWakeupCount++] = event;
}

// Only the worker defers, and only it flushes: no lock needed.
void Core::flushWakeups() {
  for (int i = 0; i < deferredWakeupCount; ++i) signalEvent(deferredWakeups[i]);
  deferredWakeupCount = 0;
}

void Core::runCallbackTracked(ZelCallback callback, void* context, ZelPacket* packet) {
  RunningCallback running{runningCallbacks, context, platform::currentThreadId()};
  runningCallbacks = &running;
  // A slow callback is reported only to the system log: without one, no
  // clock is read around the call. (Read under the lock.)
  const bool timed = loggingEnabled();
  const int depth = releaseGlobalCompletely();
  if (onWorkerThread()) {
    flushWakeups();  // a callback may take long
    invokeCallback(callback, context, packet, timed);
  } else {
    // Run from inside a sendRequest of this thread (a request that failed at
    // once), it is not part of that request's send.
    UnlockedSendScope outside(UnlockedSendScope::Pause);
    invokeCallback(callback, context, packet, timed);
  }
  reacquireGlobal(depth);
  for (RunningCallback** link = &runningCallbacks; *link != nullptr; link = &(*link)->next) {
    if (*link == &running) {
      *link = running.next;
      break;
    }
  }
  while (Event* waiter = waiters.popFront()) waiter->signal();
}

void Core::invokeCallback(ZelCallback callback, void* context, ZelPacket* packet, bool timed) {
  // The stream spans the header and the payload the packet really holds
  // (a joined reply is longer than its first frame says).
  ZelInputStream stream;
  stream.packet_ = packet;
  stream.readPos_ = packet->wire + TPKT_HEADER_SIZE;
  stream.end_ = packet->payload() + packet->payloadLength;
  ZelHeader header(stream);
  header.sourceUrl = packet->sourceUrl;
  errorCodeOf(header, packet);
  const uint32_t start = timed ? tickCount() : 0;
  try {
    callback(context, header, stream);
  } catch (Exception* exception) {
    log(nullptr, "clbk", "Callback of packet %08x.%08x threw %s", packet->headerWord(0), packet->headerWord(1),
        exception->what());
  } catch (const std::exception& exception) {
    log(nullptr, "clbk", "Callback of packet %08x.%08x threw %s", packet->headerWord(0), packet->headerWord(1),
        exception.what());
  } catch (...) {
    log(nullptr, "clbk", "Callback of packet %08x.%08x threw", packet->headerWord(0), packet->headerWord(1));
  }
  const int32_t duration = timed ? static_cast<int32_t>(tickCount() - start) : 0;
  if (duration > CALLBACK_SLOW_MS)
    log(nullptr, "clto", "Time delivering packet %08x.%08x is %d Milliseconds.", packet->headerWord(0),
        packet->headerWord(1), duration);
  stream.packet_ = nullptr;
}

void Core::errorCodeOf(ZelHeader& header, const ZelPacket* packet) {
  header.errorCode = 0;
  if (header.mode == ErrorReply) {
    header.errorCode = firstErrorOctet(packet);
    if (header.errorCode == 0xF0 && packet->payloadLength > 1) header.errorCode = readBE16(packet->payload());
  } else if (header.mode == LocalError) {
    header.errorCode = firstErrorOctet(packet) | 0x100;
  }
}

void Core::dispatchQueuedCallbacks() {
  GlobalLock lock;
  ZelPacket* packet = callbackQueue.first();
  while (packet != nullptr && (packet->callback == nullptr || packet->callback == syncRequestMarker))
    packet = packet->pNext;
  if (packet == nullptr) return;
  callbackQueue.remove(packet);
  runCallbackTracked(packet->callback, packet->context, packet);
  ZelPacket::free(packet);
}

void Core::discardDeliveriesOf(const Connection* connection, void* context) {
  GlobalLock lock;
  const char* source = connection != nullptr ? connection->url : nullptr;
  // Returns how many it dropped.
  auto discardFrom = [&](List<ZelPacket>& deliveries) {
    int dropped = 0;
    for (ZelPacket* packet = deliveries.first(); packet != nullptr;) {
      ZelPacket* next = packet->pNext;
      const bool requestCompletion = connection != nullptr && (packet->mode() & 0x0F) != Message;
      // A synchronous caller keeps its reply whatever the context.
      if (packet->sourceUrl == source && packet->callback != syncRequestMarker &&
          (packet->context == context || (context == nullptr && requestCompletion))) {
        deliveries.remove(packet);
        ZelPacket::free(packet);
        ++dropped;
      }
      packet = next;
    }
    return dropped;
  };
  discardFrom(callbackQueue);
  handOffsUnsettled -= discardFrom(handedOff);
  // Local notifications wait among the timers for the next pass.
  for (ZelPacket* packet = timers.first(); packet != nullptr;) {
    ZelPacket* next = packet->pNext;
    if (packet->sourceUrl == source && packet->headerWord(0) != LocalEvent::Timer && packet->context == context) {
      if (timerCursor == packet) timerCursor = next;
      timers.remove(packet);
      ZelPacket::free(packet);
    }
    packet = next;
  }
}

void Core::waitForCallbacksOf(void* context) {
  GlobalLock lock;
  const uint32_t self = platform::currentThreadId();
  auto runningElsewhere = [&] {
    for (const RunningCallback* running = runningCallbacks; running != nullptr; running = running->next)
      if (running->context == context && running->threadId != self) return true;
    return false;
  };
  while (runningElsewhere()) {
    Event* event = Event::acquire();
    waiters.pushFront(event);
    const int depth = releaseGlobalCompletely();
    event->wait();
    reacquireGlobal(depth);
    Event::release(event);
  }
}

}  // namespace zelkit::detail
