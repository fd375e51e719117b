#pragma once

namespace zelkit::detail {

class Connection;

// Inside an application thread's outermost sendRequest, the queue of the one
// connection it sends on is written once the lock is let go
// (Connection::sendQueuedUnlocked). A scope collects that connection for its
// length; a callback the thread runs meanwhile, with the lock let go, is
// outside it (Pause): its sends go out as they would anywhere else.
class UnlockedSendScope {
 public:
  enum Kind { Collect, Pause };
  explicit UnlockedSendScope(Kind kind);
  ~UnlockedSendScope();
  UnlockedSendScope(const UnlockedSendScope&) = delete;
  UnlockedSendScope& operator=(const UnlockedSendScope&) = delete;

  // The connection collected, or null.
  Connection* connection() const;
  // Collects the connection's send in this thread's scope: false when no
  // scope collects, or it collects another connection's.
  static bool collect(Connection* connection);

 private:
  struct State {
    bool collecting = false;
    Connection* connection = nullptr;
  };
  static thread_local State current_;
  const State outer_;
};

}  // namespace zelkit::detail
