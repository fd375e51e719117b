#include "core/engine/unlocked_send.h"

namespace zelkit::detail {

thread_local UnlockedSendScope::State UnlockedSendScope::current_;

UnlockedSendScope::UnlockedSendScope(Kind kind) : outer_(current_) { current_ = {kind == Collect, nullptr}; }

UnlockedSendScope::~UnlockedSendScope() { current_ = outer_; }

Connection* UnlockedSendScope::connection() const { return current_.connection; }

bool UnlockedSendScope::collect(Connection* connection) {
  if (!current_.collecting) return false;
  if (current_.connection != nullptr && current_.connection != connection) return false;
  current_.connection = connection;
  return true;
}

}  // namespace zelkit::detail
