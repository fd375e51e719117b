#pragma once

#include <cstdint>

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

class ZelSession;

namespace detail {
class Connection;
class Core;
struct ZelPacket;
}  // namespace detail

// Counted handle of a server session; the count lives in the session and
// changes under the library lock.
class ZELKIT_API ZelSessionRef {
 public:
  ZelSessionRef();
  ZelSessionRef(const ZelSessionRef& other);
  ZelSessionRef& operator=(const ZelSessionRef& other);
  virtual ~ZelSessionRef();

  // Lets go of the session; the last handle deletes it.
  void reset();
  ZelSession* get() const { return session_; }
  ZelSession* operator->() const { return session_; }
  explicit operator bool() const { return session_ != nullptr; }
  bool operator==(const ZelSessionRef& other) const { return session_ == other.session_; }

 private:
  friend class ZelSession;
  friend class detail::Core;
  // Counts one more without the lock: only for a session not yet shared.
  explicit ZelSessionRef(ZelSession* session);

  ZelSession* session_;
};

// One accepted client of a server; owns its connection.
class ZELKIT_API ZelSession {
 public:
  ZelSession();
  ZelSession(const ZelSession&) = delete;
  ZelSession& operator=(const ZelSession&) = delete;
  virtual int onLogin(const ZelHeader& header, const char* user, const char* password);
  // -1: the session does not take the HTTP request head.
  virtual int onHttpHeader(int lineCount, const char** lines, int flags);
  virtual ~ZelSession();

 protected:
  detail::Connection* getConnection() { return connection_; }

 private:
  friend class ZelSessionRef;
  friend class detail::Core;
  friend class detail::Connection;

  // A request received on the session's connection; takes the packet.
  void dispatch(detail::ZelPacket* packet);
  // Each overlapped operation posted on the connection holds one count.
  void retain() { ++refCount_; }
  // True when that was the last count and the session (with its
  // connection) is gone.
  bool release();

  ZelSessionRef self_;
  uint32_t refCount_;
  uint16_t flags_;
  ZelSession* nextSession_;
  detail::Connection* connection_;
};

// An application acting as a device derives from this to make its sessions.
// The last server constructed is the process's server.
class ZELKIT_API ZelServer {
 public:
  ZelServer();
  virtual ZelSession* createSession();

 protected:
  friend class detail::Core;
  uint32_t responseTimeoutMs_;
};

}  // namespace zelkit
