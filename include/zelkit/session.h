#pragma once

#include <cstdint>

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

class ZelServer;
class ZelSession;

namespace detail {
class Connection;
class Core;
struct ZelPacket;
}  // namespace detail

// Counted handle of a server session; the count lives in the session and
// changes under the library lock. The last handle deletes the session.
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
  // Counts one more without the lock: only for a session not yet shared.
  explicit ZelSessionRef(ZelSession* session);

  ZelSession* session_;
};

// One accepted client of a server; owns its connection. Servers make their
// own kinds through ZelServer::createSession.
class ZELKIT_API ZelSession {
 public:
  // How an HTTP connection hands request bodies to the server's HTTP
  // handler: one request per connection, each block ending the request, or
  // the body streamed in blocks.
  enum TransferMode {
    SingleRequest = 0,
    BlockRequests = 4,
    StreamedBody = 8,
  };
  // The flag of recv that leaves the bytes to be read again.
  static const int PeekFlag = 2;

  ZelSession();
  // A copy would share the connection and delete it twice.
  ZelSession(const ZelSession&) = delete;
  ZelSession& operator=(const ZelSession&) = delete;

  // The application's decision on a login: below 1 refuses, otherwise the
  // low two bits are the privilege level granted. The default grants 2.
  virtual int onLogin(const ZelHeader& header, const char* user, const char* password);
  // The head of an HTTP request, one pointer per line (each ends in "\r\n"
  // in the receive buffer); flags is the POST body's length. The result is
  // the status to answer: 200, 400, 403, 404, 500 and 501 are sent as their
  // bare text ("200 OK"), 100 or less with "Expect" as "HTTP/1.1 100
  // Continue", anything else (401 among them) as nothing; -1: the session
  // does not take the head, and the HTTP handler receives the whole request.
  virtual int onHttpHeader(int lineCount, const char** lines, int flags);
  virtual ~ZelSession();

  // Reply to a request; an ErrorReply-mode header sends its error code.
  void respond(ZelHeader& header, ZelOutputStream& payload);
  // A message to this session's client.
  void notify(ZelHeader& header, ZelOutputStream& payload);
  // Raw bytes of the connection, for HTTP handlers: recv gives the bytes
  // that arrived behind the request first (PeekFlag leaves them), then
  // reads the socket, waiting; both return the count or -1. On the HTTPS
  // port they read and write through TLS.
  int recv(void* buffer, int length, int flags);
  int send(const void* data, int length, int flags);
  // 0: not logged in; 1 to 3 as granted by onLogin.
  int getPrivilegeLevel() const;
  void disconnect();

 protected:
  // Live-check interval of the connection until the next request arrives.
  void setTimeout(int milliseconds);
  void setTransferMode(TransferMode mode);
  detail::Connection* getConnection() { return connection_; }
  // For onLogin: the received password is either the expected one or, when
  // 32 characters long, the login digest of it over this session's
  // challenge.
  bool checkAuthentication(const char* user, const char* expected, const char* received);

 private:
  friend class ZelSessionRef;
  friend class ZelServer;
  friend class RtpStreamerSession;
  friend class detail::Core;
  friend class detail::Connection;

  static ZelOutputStream& noPayload();
  // A request received on the session's connection; takes the packet.
  void dispatch(detail::ZelPacket* packet);
  void submit(ZelHeader& header, ZelOutputStream& payload, uint32_t mode);
  void setPrivilegeLevel(int level);
  // Each overlapped operation posted on the connection holds one count.
  void retain() { ++refCount_; }
  // True when that was the last count and the session (with its
  // connection) is gone.
  bool release();

  ZelSessionRef self_;
  uint32_t refCount_;
  uint16_t flags_;  // bits 0-1 privilege level, bits 2-3 transfer mode
  ZelSession* nextSession_;
  detail::Connection* connection_;
};

}  // namespace zelkit
