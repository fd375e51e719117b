#include "core/connection/connection.h"
#include "core/engine/lock.h"

namespace zelkit::detail {

namespace {

// Each message fan-out under way keeps its next entry here. A fan-out runs
// callbacks with the lock let go, and meanwhile another may start and end
// (a caller that receives its own reply on another connection) and entries
// may be removed: removing one moves every cursor past it.
class FanOutCursor {
 public:
  explicit FanOutCursor(CallbackEntry* first) : next(first), outer(underWay_) { underWay_ = this; }
  ~FanOutCursor() {
    for (FanOutCursor** link = &underWay_; *link != nullptr; link = &(*link)->outer) {
      if (*link == this) {
        *link = outer;
        return;
      }
    }
  }
  FanOutCursor(const FanOutCursor&) = delete;
  FanOutCursor& operator=(const FanOutCursor&) = delete;

  static void skip(const CallbackEntry* removed) {
    for (FanOutCursor* cursor = underWay_; cursor != nullptr; cursor = cursor->outer)
      if (cursor->next == removed) cursor->next = removed->next;
  }

  CallbackEntry* next;

 private:
  static inline FanOutCursor* underWay_ = nullptr;
  FanOutCursor* outer;  // the fan-out under way before this one
};

enum CallbackAction { Register = 0, Subscribe = 1, Unsubscribe = 2 };

}  // namespace

void CallbackEntry::set(ZelCallback function, void* entryContext, const uint32_t* tags, int tagCount) {
  callback = function;
  context = entryContext;
  if (tagCount < 0) {
    count = tagCount;
    return;
  }
  count = tagCount < MAX_MESSAGE_IDS ? tagCount : MAX_MESSAGE_IDS;
  for (int i = 0; i < count; ++i) ids[i] = static_cast<uint16_t>(tags[i] >> 16);
}

bool CallbackEntry::matches(uint32_t tag) const {
  if (count < 0 || (count > 0 && ids[0] == ALL_MESSAGES_ID)) return true;
  for (int i = 0; i < count; ++i)
    if (ids[i] == tag >> 16) return true;
  return false;
}

void Connection::deliverMessage(ZelPacket* packet) {
  const uint32_t tag = packet->headerWord(0);
  FanOutCursor cursor(callbacks.first());
  while (CallbackEntry* entry = cursor.next) {
    cursor.next = entry->next;
    if (!entry->receives(tag)) continue;
    ZelPacket* copy = ZelPacket::clone(packet);
    copy->callback = entry->callback;
    copy->context = entry->context;
    core().deliver(0, copy, nullptr);
  }
  ZelPacket::free(packet);
}

void Connection::registerMessageCallback(ZelCallback function, void* context, const uint32_t* tags, int count,
                                         int action) {
  GlobalLock lock;
  if (hasCallbacks()) --refCount;
  if (action == Register) {
    CallbackEntry* primary = callbacks.first();
    while (primary != nullptr && !primary->registered) primary = primary->next;
    if (primary == nullptr) {
      primary = new CallbackEntry();
      primary->registered = true;
      callbacks.pushFront(primary);
    }
    primary->set(function, context, tags, count);
  } else if (action == Subscribe) {
    removeCallbackEntries(nullptr, context);
    auto* entry = new CallbackEntry();
    entry->set(function, context, tags, count);
    callbacks.pushFront(entry);
  } else if (action == Unsubscribe) {
    removeCallbackEntries(nullptr, context);
  }
  rebuildMessageIds();
  if (hasCallbacks()) ++refCount;
  registerAtDevice(false);
}

void Connection::rebuildMessageIds() {
  messageIds[0] = DEFAULT_MESSAGE_ID;
  int idCount = 1;
  for (CallbackEntry* entry = callbacks.first(); entry != nullptr; entry = entry->next) {
    if (entry->count < 0) {
      messageIds[0] = ALL_MESSAGES_ID;
      idCount = 1;
      break;
    }
    for (int i = 0; i < entry->count; ++i) {
      bool known = false;
      for (int j = 0; j < idCount && !known; ++j) known = messageIds[j] == entry->ids[i];
      if (known) continue;
      if (idCount == MAX_MESSAGE_IDS)
        core().log(this, "msg ", "MsgMax reached. Registering %04x failed.", entry->ids[i]);
      else
        messageIds[idCount++] = entry->ids[i];
    }
  }
  messageIdCount = idCount;
}

void Connection::removeCallbackEntries(ZelCallback function, void* context) {
  GlobalLock lock;
  for (CallbackEntry* entry = callbacks.first(); entry != nullptr;) {
    CallbackEntry* next = entry->next;
    if (context == nullptr || (entry->context == context && (function == nullptr || entry->callback == function))) {
      FanOutCursor::skip(entry);
      callbacks.remove(entry);
      delete entry;
    }
    entry = next;
  }
}

void Connection::unregisterCallback(ZelCallback function, void* context) {
  GlobalLock lock;
  removeCallbackEntries(function, context);
  discardCompletionsOf(context);
  core().discardDeliveriesOf(this, context);
}

namespace {

// Synchronous callers and the login keep their completion whatever the
// context: without it they would wait for ever.
bool keepsCompletion(const ZelPacket* packet) {
  return packet->callback == syncRequestMarker || packet->callback == Connection::onRegisterReply;
}

void discardCompletion(ZelPacket* packet) {
  packet->callback = nullptr;
  packet->context = nullptr;
}

}  // namespace

void Connection::discardCompletionsOf(void* context) {
  GlobalLock lock;
  // Whatever the callback function: the context is what the application
  // frees once it has unregistered.
  for (ZelPacket* packet = sendQueue.first(); packet != nullptr; packet = packet->pNext)
    if (!keepsCompletion(packet) && packet->context == context) discardCompletion(packet);
  for (auto& [tag, ids] : commandIds)
    for (ZelPacket* packet : ids.waiting)
      if (!keepsCompletion(packet) && packet->context == context) discardCompletion(packet);
  // A null context stands for every request already sent.
  for (ZelPacket* packet = pending.first(); packet != nullptr; packet = packet->pNext)
    if (!keepsCompletion(packet) && (context == nullptr || packet->context == context)) discardCompletion(packet);
}

}  // namespace zelkit::detail
