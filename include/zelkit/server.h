#pragma once

/// \file
/// The device side: the server.

#include <cstddef>
#include <cstdint>

#include "zelkit/export.h"
#include "zelkit/rtp_streamer_session.h"
#include "zelkit/session.h"
#include "zelkit/ssl_keys.h"
#include "zelkit/streams.h"

namespace zelkit {

/// Handler of one command word, and of an HTTP port's requests. Runs on the
/// library's worker thread without the library lock, so it may block, call
/// into the library and answer later. A library exception it throws becomes
/// an error reply with the low byte of the exception's code, anything else
/// error 0xFF.
/// \param session The session the request came on; the handle keeps it alive.
/// \param header The request's header; it may be changed before replying,
///        and an error reply made from a thrown exception uses it as the
///        handler left it.
/// \param payload The request's payload (for an HTTP port: the request body,
///        or the whole request when the session did not take the head).
typedef void (*ZelRequestHandler)(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);

/// Sees the XML device description of each discovery answer before it goes
/// out. Runs on the discovery responder's thread.
/// \param context The context given with the callback.
/// \param buffer The description, which the callback may rewrite.
/// \param size The buffer's size (1500).
/// \param requestByte1 The first request byte the scan carried.
/// \param requestByte2 The second request byte the scan carried.
/// \return The length of the text to send; 0 or below sends no answer at all.
typedef int (*DiscoveryResponseCallback)(void* context, char* buffer, size_t size, char requestByte1,
                                         char requestByte2);

/// What ZelServer::getInfo counts on a line.
enum ServerStats : int {
  /// The line's media sessions.
  LineSessions = 1,
  /// The streams the line sends: every session whose video goes to a
  /// multicast group counted once.
  LineStreams = 2,
};

/// Gets the media a client sends back on its tunnelled video stream, and
/// its RTCP acknowledgements (payload type 73 as well). Runs on the
/// back-channel thread.
/// \param session The media session the tunnel belongs to.
/// \param type The packet's payload type; 255 when raw.
/// \param data The packet's payload; when raw, the whole packet.
/// \param length The byte count of data.
typedef void (*RtpSessionReceiveCallback)(RtpStreamerSessionRef const& session, RtpPayloadType type,
                                          unsigned char const* data, int length);

/// The device side: an application acting as a device derives from this to
/// make its sessions, registers a handler per command word and starts the
/// listeners.
///
/// The last server constructed is the process's server: its factories and
/// its response time-out serve every session. The library's thread calls it
/// while it serves, so it lives as long as its listeners run (typically for
/// the life of the process). Handlers, timers and the server's calls run on
/// the library's worker thread; set handlers, ports and keys before start()
/// or run().
class ZELKIT_API ZelServer {
 public:
  /// Becomes the process's server, with the built-in handlers (login,
  /// media) and a response time-out of 5000 ms.
  ZelServer();
  /// A copy takes the time-out only; it does not become the process's server.
  /// \param other The server to copy.
  ZelServer(const ZelServer& other);
  /// Takes the time-out only.
  /// \param other The server to copy.
  /// \return This server.
  ZelServer& operator=(const ZelServer& other);
  /// When this is the process's server, the listeners accept no more
  /// sessions afterwards; the sessions already served go on.
  ~ZelServer();

  /// Makes the session of each accepted connection. The default makes a
  /// plain ZelSession.
  /// \return A new session, which the library owns, or null to refuse the connection.
  virtual ZelSession* createSession();
  /// Makes the media session for a client's connect request. The default
  /// refuses with error -1. Runs on the library's worker thread.
  /// \param session The client's session.
  /// \param descriptors The requested streams.
  /// \param count Their number.
  /// \param[out] error The error code to answer when refusing; the refusal
  ///        is an error reply carrying its low byte.
  /// \return The media session, or null to refuse.
  virtual RtpStreamerSession* createRtpStreamerSession(ZelSessionRef const& session, RtpStreamDescriptor* descriptors,
                                                       int count, int& error);

  /// Sets the handler of a command word; a later registration of the same
  /// word hides the earlier one. A word without handler is answered with
  /// error 0x40.
  /// \param commandWord The command word; 0 sets the handler of the words that have none.
  /// \param handler The handler.
  void registerCallback(unsigned long commandWord, ZelRequestHandler handler);
  /// Calls function(context) every periodMs on the worker thread, first
  /// after one period.
  /// \param periodMs The period in milliseconds.
  /// \param function The function.
  /// \param context Given to the function.
  void registerTimer(int periodMs, void (*function)(void*), void* context);
  /// Binds the listeners and runs the library's loop on this thread until
  /// System::terminate(). When a client started the library's worker
  /// before, waits for that instead.
  /// \param port The Zel port (the protocol's is 1756), or 0 for none.
  void run(unsigned short port);
  /// Binds the listeners with the loop on a thread of the library; returns at once.
  /// \param port The Zel port (the protocol's is 1756), or 0 for none.
  void start(unsigned short port);
  /// Adds an HTTP or HTTPS port for the next run() or start(). It serves the
  /// Zel tunnel and hands other requests to the handler (see
  /// ZelSession::onHttpHeader). A head may take up to 8192 bytes, a body
  /// handed over whole up to 16 MiB; larger ones are answered "400 Bad
  /// request".
  /// \param port The port; 0 means 80 (443 with https).
  /// \param https Serve TLS on this port, with the keys of setSslKeys.
  /// \param handler Gets the port's HTTP requests.
  /// \return 0.
  int bindHttpPort(unsigned short port, bool https, ZelRequestHandler handler);
  /// Sets key material of the HTTPS port. It is read once, when the
  /// process's first TLS connection (client or server) is made; without it
  /// the port uses built-in keys.
  /// \param index The slot.
  /// \param data DER bytes, or zero-ended PEM text (beginning "----").
  /// \param length The byte count (for PEM, the room for the decoded bytes).
  /// \return 0; -1 index out of range, -2 shorter than 4 bytes; PEM: -1
  ///         marker missing, -2 bad text.
  static int setSslKeys(SslKeyIndex index, void const* data, int length);
  /// \param clientId A client id the server gave.
  /// \return The session whose connection has this client id, or an empty handle.
  ZelSessionRef getSession(unsigned short clientId);
  /// Sends a message to every session's client.
  /// \param header The message's header (its command word in tag).
  /// \param payload The payload; the stream keeps its bytes.
  void notify(ZelHeader& header, ZelOutputStream& payload);

  /// Sets the callback of the back channel: what clients send on tunnelled
  /// video streams whose first descriptor carries 0x80 in byte 9, for
  /// sessions whose tunnels arrive after this call. The first callback
  /// starts the back-channel thread, on which it runs; a later call replaces
  /// it.
  /// \param raw Hand over whole packets (type 255) instead of payloads.
  /// \param callback The callback, or null to silence it.
  void registerReceiverCallback(bool raw, RtpSessionReceiveCallback callback);
  /// Counts a line's media sessions or streams.
  /// \param line The line, 0 to 255.
  /// \param kind What to count.
  /// \return The count; 0 for another kind or a line outside 0..255.
  int getInfo(int line, ServerStats kind);
  /// \param id A media session's id.
  /// \return The media session with this id, or an empty handle.
  RtpStreamerSessionRef getStreamerSession(unsigned long id);

  /// Answers network scans on UDP port 1757 and on the discovery group at
  /// this port, with a binary reply and an XML description (the name
  /// escaped, UTF-8, the text cut to fit 1500 bytes), from a thread of its
  /// own. The first call starts the responder; later calls change what it
  /// answers. It runs until System::terminate().
  /// \param port The group's port; 0 means 1800.
  /// \param name The device's name.
  /// \param identityA The first identity word; its top byte is the device type.
  /// \param identityB The second identity word.
  /// \return 0.
  int initDiscoveryPort(unsigned short port, wchar_t const* name, unsigned long identityA, unsigned long identityB);
  /// The same with the name in UTF-16 units.
  /// \param port The group's port; 0 means 1800.
  /// \param name The device's name, zero-ended UTF-16 units.
  /// \param identityA The first identity word; its top byte is the device type.
  /// \param identityB The second identity word.
  /// \return 0.
  int initDiscoveryPort(unsigned short port, unsigned short const* name, unsigned long identityA,
                        unsigned long identityB);
  /// Sets the callback that sees each discovery answer.
  /// \param callback The callback, or null to send the description as the library writes it.
  /// \param context Given to the callback.
  void registerDiscoveryResponseCallback(DiscoveryResponseCallback callback, void* context);

 protected:
  /// Time-out of the replies and messages the sessions send, in
  /// milliseconds (5000).
  uint32_t responseTimeoutMs_;

 private:
  friend class ZelSession;
  friend class detail::Core;

  static void registerAtServer(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);
  static void onLoginState(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);
  static void onChallenge(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);
  static void onConnectPrimitive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);
  static void onDisconnectPrimitive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);
  static void onListStreams(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);
  static void onKeepAlive(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);
  static void onKeepAliveTimer(void* context, ZelHeader& header, ZelInputStream& payload);
  void registerBuiltInHandlers();
};

}  // namespace zelkit
