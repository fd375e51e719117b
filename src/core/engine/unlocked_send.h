#pragma once

namespace zelkit::detail {

class Connection;

// Inside an application thread's outermost sendRequest, the queue of the one
// connection it sends on is written once the lock is let go
// (Connection::sendQueuedUnlocked). A scope collects that connection for its
// length; a callback the thread runs meanwhile, with the lock let go, is
// outside it (Pause): its sends go out as they would anywhere else. Entered
// for every request and callback, so inline.
class UnlockedSendScope {
 public:
  enum Kind { Collect, Pause };
  explicit UnlockedSendScope(Kind kind) : outer_(current_) { current_ = {kind == Collect, nullptr}; }
  ~UnlockedSendScope() { current_ = outer_; }
  UnlockedSendScope(const UnlockedSendScope&) = delete;
  UnlockedSendScope& operator=(const UnlockedSendScope&) = delete;

  // The connection collected, or null.
  Connection* connection() const { return current_.connection; }
  // Collects the connection's send in this thread's scope: false when no
  // scope collects, or it collects another connection's.
  static bool collect(Connection* connection) {
    if (!current_.collecting) return false;
    if (current_.connection != nullptr && current_.connection != connection) return false;
    current_.connection = connection;
    return true;
  }

 private:
  struct State {
    bool collecting = false;
    Connection* connection = nullptr;
  };
  static thread_local State current_;
  const State outer_;
};

inline thread_local UnlockedSendScope::State UnlockedSendScope::current_;

}  // namespace zelkit::detail
