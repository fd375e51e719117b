#pragma once

/// \file
/// The device side: sessions and their handles.

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

/// Counted handle of a server session; the count lives in the session and
/// changes under the library lock. The last handle deletes the session (and
/// its connection). Handles may be copied and dropped on any thread.
class ZELKIT_API ZelSessionRef {
 public:
  /// An empty handle.
  ZelSessionRef();
  /// Another handle of other's session.
  /// \param other The handle to copy.
  ZelSessionRef(const ZelSessionRef& other);
  /// Lets go of this handle's session and takes other's.
  /// \param other The handle to copy.
  /// \return This handle.
  ZelSessionRef& operator=(const ZelSessionRef& other);
  /// Lets go of the session; the last handle deletes it.
  virtual ~ZelSessionRef();

  /// Lets go of the session; the last handle deletes it. The handle is empty afterwards.
  void reset();
  /// \return The session, or null.
  ZelSession* get() const { return session_; }
  /// \return The session; the handle must not be empty.
  ZelSession* operator->() const { return session_; }
  /// \return Whether the handle holds a session.
  explicit operator bool() const { return session_ != nullptr; }
  /// \param other Another handle.
  /// \return Whether both hold the same session.
  bool operator==(const ZelSessionRef& other) const { return session_ == other.session_; }

 private:
  friend class ZelSession;
  // Counts one more without the lock: only for a session not yet shared.
  explicit ZelSessionRef(ZelSession* session);

  ZelSession* session_;
};

/// One accepted client of a server; owns its connection. Servers make their
/// own kinds through ZelServer::createSession and override onLogin (and
/// onHttpHeader for HTTP ports). The virtual members run on the library's
/// worker thread.
class ZELKIT_API ZelSession {
 public:
  /// How an HTTP connection hands request bodies to the server's HTTP
  /// handler.
  enum TransferMode {
    SingleRequest = 0,  ///< One request per connection.
    BlockRequests = 4,  ///< Each block received ends a request.
    StreamedBody = 8,   ///< The body streamed in blocks.
  };
  /// The flag of recv() that leaves the bytes to be read again.
  static const int PeekFlag = 2;

  /// A session not logged in, with one handle to itself that the library
  /// drops when the connection closes.
  ZelSession();
  /// A copy would share the connection and delete it twice.
  ZelSession(const ZelSession&) = delete;
  /// A copy would share the connection and delete it twice.
  /// \return Not callable.
  ZelSession& operator=(const ZelSession&) = delete;

  /// The application's decision on a login (on the worker thread). The
  /// default grants 2.
  /// \param header The registration request's header.
  /// \param user The user name.
  /// \param password The password as received: the plain one, or the
  ///        32-character digest of a challenge login (see checkAuthentication);
  ///        null when the client sent none.
  /// \return Below 1 refuses; otherwise the low two bits are the privilege
  ///         level granted (1 to 3).
  virtual int onLogin(const ZelHeader& header, const char* user, const char* password);
  /// Sees the head of an HTTP request on an HTTP port (on the worker thread).
  /// The default returns -1.
  /// \param lineCount The number of lines.
  /// \param lines One pointer per line, each ending in "\r\n" in the receive buffer.
  /// \param flags The POST body's length.
  /// \return The status to answer: 200, 400, 403, 404, 500 and 501 are sent
  ///         as their bare text ("200 OK"), 100 or less with "Expect" as
  ///         "HTTP/1.1 100 Continue", anything else (401 among them) as
  ///         nothing; -1: the session does not take the head, and the HTTP
  ///         handler receives the whole request.
  virtual int onHttpHeader(int lineCount, const char** lines, int flags);
  /// Takes the session out of the server's list and closes its connection.
  virtual ~ZelSession();

  /// Replies to a request. The reply waits for the client to read it,
  /// however long that takes; while this session's unsent replies hold
  /// 4 MiB (or 600 wait in its queue), its further requests are not read.
  /// \param header The request's header; with mode 3 (error reply) the reply
  ///        carries its errorCode instead of the payload.
  /// \param payload The reply's payload; the stream keeps its bytes.
  void respond(ZelHeader& header, ZelOutputStream& payload);
  /// Sends a message to this session's client; one that waits unsent past
  /// the server's response time-out is dropped.
  /// \param header The message's header (its command word in tag).
  /// \param payload The payload; the stream keeps its bytes.
  void notify(ZelHeader& header, ZelOutputStream& payload);
  /// Reads raw bytes of the connection, for HTTP handlers: first the bytes
  /// that arrived behind the request, then from the socket, waiting. On the
  /// HTTPS port it reads through TLS.
  /// \param buffer Room for length bytes.
  /// \param length The most bytes to read.
  /// \param flags PeekFlag leaves the bytes to be read again.
  /// \return The count read (0: the peer closed the connection), or -1.
  int recv(void* buffer, int length, int flags);
  /// Writes raw bytes on the connection, for HTTP handlers; on the HTTPS
  /// port through TLS.
  /// \param data The bytes.
  /// \param length Their count.
  /// \param flags 0 will do.
  /// \return The count sent, or -1.
  int send(const void* data, int length, int flags);
  /// \return 0 when not logged in; 1 to 3 as granted by onLogin.
  int getPrivilegeLevel() const;
  /// Closes the connection; the session goes once no handle holds it.
  void disconnect();

 protected:
  /// Sets the connection's live-check interval until the next request arrives.
  /// \param milliseconds The interval.
  void setTimeout(int milliseconds);
  /// Sets how an HTTP connection hands request bodies to the handler.
  /// \param mode The mode.
  void setTransferMode(TransferMode mode);
  /// \return The session's connection, for the library's own use.
  detail::Connection* getConnection() { return connection_; }
  /// Checks a login's password, for onLogin.
  /// \param user The user name as received.
  /// \param expected The user's password.
  /// \param received The password as received: the plain one, or, when 32
  ///        characters long, the login digest of the expected one over this
  ///        session's challenge.
  /// \return Whether it matches.
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
