#pragma once

#include <cstddef>
#include <cstdint>

#include "zelkit/export.h"
#include "zelkit/rtp_streamer_session.h"
#include "zelkit/session.h"
#include "zelkit/ssl_keys.h"
#include "zelkit/streams.h"

namespace zelkit {

// Handler of one command word, and of an HTTP port's request bodies. The
// header may be changed before replying: an error reply made from a thrown
// exception uses it as the handler left it.
typedef void (*ZelRequestHandler)(ZelSessionRef const& session, ZelHeader& header, ZelInputStream& payload);

// Sees the XML device description of each discovery answer before it goes
// out: may rewrite the buffer (size bytes) and returns the length to send;
// 0 or below sends no answer. The request bytes are those the scan carried.
typedef int (*DiscoveryResponseCallback)(void* context, char* buffer, size_t size, char requestByte1,
                                         char requestByte2);

// What ZelServer::getInfo counts on a line: its media sessions, or the
// streams it sends (every session whose video goes to a multicast group
// counted once).
enum ServerStats : int {
  LineSessions = 1,
  LineStreams = 2,
};

// Media a client sends back on its tunnelled video stream (and its RTCP
// acknowledgements, payload type 73 as well); runs on the back-channel
// thread. Raw: data is the whole packet and type 255.
typedef void (*RtpSessionReceiveCallback)(RtpStreamerSessionRef const& session, RtpPayloadType type,
                                          unsigned char const* data, int length);

// An application acting as a device derives from this to make its sessions.
// The last server constructed is the process's server: its factories and
// its response time-out serve every session. The library's thread calls it
// while it serves, so it lives as long as its listeners run (typically for
// the life of the process).
class ZELKIT_API ZelServer {
 public:
  ZelServer();
  // A copy takes the time-out only; it does not become the process's server.
  ZelServer(const ZelServer& other);
  ZelServer& operator=(const ZelServer& other);
  ~ZelServer();

  // A new session for each accepted connection; null refuses it.
  virtual ZelSession* createSession();
  // A media session for a client's connect request (descriptors of the
  // streams it asked for); the default refuses with error -1. A refusal is
  // answered as an error reply carrying the low byte of error.
  virtual RtpStreamerSession* createRtpStreamerSession(ZelSessionRef const& session, RtpStreamDescriptor* descriptors,
                                                       int count, int& error);

  // Word 0 sets the handler of words that have none; a later registration
  // of a word hides the earlier one.
  void registerCallback(unsigned long commandWord, ZelRequestHandler handler);
  // Calls function(context) every periodMs, first after one period.
  void registerTimer(int periodMs, void (*function)(void*), void* context);
  // Binds the listeners (Zel port 0: none) and runs the library's loop on
  // this thread until the library is terminated.
  void run(unsigned short port);
  // The same with the loop on a thread of the library; returns at once.
  void start(unsigned short port);
  // HTTP (or HTTPS) port for the next run or start, port 0 meaning 80 (443);
  // request bodies go to the handler. Returns 0.
  int bindHttpPort(unsigned short port, bool https, ZelRequestHandler handler);
  // Key material of the HTTPS port, DER or PEM text: 0; -1 index out of
  // range, -2 shorter than 4 bytes; PEM: -1 marker missing, -2 bad text.
  // Read once, when the process's first TLS context is made.
  static int setSslKeys(SslKeyIndex index, void const* data, int length);
  // The session whose connection has this client id, or an empty handle.
  ZelSessionRef getSession(unsigned short clientId);
  // A message to every session's client.
  void notify(ZelHeader& header, ZelOutputStream& payload);

  // The first callback starts the back-channel thread, which reads what
  // clients send on tunnelled video streams whose first descriptor carries
  // 0x80 in byte 9 (sessions whose tunnels arrive after this call); a later
  // call replaces it, null silences it.
  void registerReceiverCallback(bool raw, RtpSessionReceiveCallback callback);
  // A count of the line's media sessions; 0 for another kind or a line
  // outside 0..255.
  int getInfo(int line, ServerStats kind);
  // The media session with this id, or an empty handle.
  RtpStreamerSessionRef getStreamerSession(unsigned long id);

  // Answers network scans on port 1757 and on the discovery group at this
  // port (0: 1800), describing the device by name and two identity words
  // (the first one's top byte is the device type). The first call starts
  // the responder; later calls change what it answers. It runs until
  // System::terminate. Returns 0.
  int initDiscoveryPort(unsigned short port, wchar_t const* name, unsigned long identityA, unsigned long identityB);
  // The same with the name in UTF-16 units.
  int initDiscoveryPort(unsigned short port, unsigned short const* name, unsigned long identityA,
                        unsigned long identityB);
  // A null callback sends the description as the library writes it.
  void registerDiscoveryResponseCallback(DiscoveryResponseCallback callback, void* context);

 protected:
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
