#include "core/engine/core.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

namespace {

// Timer packets keep their period in the TPKT word.
uint32_t periodOf(const ZelPacket* timer) { return timer->tpktWord(); }

}  // namespace

void Core::setTimer(uint32_t timeMs, uint32_t periodMs, ZelCallback callback, void* context, ZelOutputStream* payload) {
  GlobalLock lock;
  ZelPacket* found = nullptr;
  for (ZelPacket* timer = timers.first(); timer != nullptr;) {
    ZelPacket* next = timer->pNext;
    if (timer->callback == callback && timer->context == context) {
      if (timeMs != 0) {
        found = timer;
        break;
      }
      if (timerCursor == timer) timerCursor = next;
      timers.remove(timer);
      ZelPacket::free(timer);
    }
    timer = next;
  }
  if (timeMs == 0) return;

  ZelPacket* timer;
  if (payload != nullptr && payload->getPacket() != nullptr) {
    timer = payload->extractPacket();
    timers.pushFront(timer);
  } else if (found != nullptr) {
    timer = found;
  } else {
    timer = ZelPacket::alloc(0);
    timer->payloadLength = 0;
    timers.pushFront(timer);
  }
  timer->remainingMs = static_cast<int32_t>(timeMs);
  timer->callback = callback;
  timer->context = context;
  timer->waiterEvent = nullptr;
  timer->sourceUrl = nullptr;
  timer->setTpktWord(periodMs);
  timer->setHeaderWord(0, LocalEvent::Timer);
  timer->setHeaderWord(1, static_cast<uint32_t>(Message) << 24);
  timer->setHeaderWord(2, 0);
  timer->setHeaderWord(3, static_cast<uint32_t>(timer->payloadLength) & 0xFFFF);
  startWorker(false);
}

void Core::removeTimers(ZelCallback, void* context) {
  GlobalLock lock;
  // Local notifications share the list; they belong to their connection.
  auto removed = [&](const ZelPacket* packet) {
    return packet->headerWord(0) == LocalEvent::Timer && packet->context == context;
  };
  for (ZelPacket* timer = timers.first(); timer != nullptr;) {
    ZelPacket* next = timer->pNext;
    if (removed(timer)) {
      if (timerCursor == timer) timerCursor = next;
      timers.remove(timer);
      ZelPacket::free(timer);
    }
    timer = next;
  }
  for (ZelPacket* firing = callbackQueue.first(); firing != nullptr;) {
    ZelPacket* next = firing->pNext;
    if (removed(firing)) {
      callbackQueue.remove(firing);
      ZelPacket::free(firing);
    }
    firing = next;
  }
}

int Core::getTimerCount(int item) {
  if (item != 2) return -1;
  GlobalLock lock;
  int count = 0;
  for (ZelPacket* timer = timers.first(); timer != nullptr; timer = timer->pNext) ++count;
  return count;
}

void Core::runTimers(uint32_t elapsedMs) {
  // A callback may remove timers while it runs: the cursor holds the next
  // entry and removal moves it on.
  for (ZelPacket* timer = timers.first(); timer != nullptr; timer = timerCursor) {
    timerCursor = timer->pNext;
    timer->remainingMs -= static_cast<int32_t>(elapsedMs);
    if (timer->remainingMs >= 1) continue;
    if (periodOf(timer) != 0) {
      timer->remainingMs = static_cast<int32_t>(periodOf(timer));
      deliver(0, ZelPacket::clone(timer), nullptr);
    } else {
      timers.remove(timer);
      deliver(0, timer, nullptr);
    }
  }
  timerCursor = nullptr;
}

}  // namespace zelkit::detail
