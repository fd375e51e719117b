#pragma once

/// \file
/// The client of one device.

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

class RtpStreamer;
class System;

namespace detail {
class Connection;
}

/// Handle through which an application talks to one device.
///
/// A client names the device by URL: "zelp://", "http://" (the Zel traffic
/// runs through the device's HTTP tunnel) or "https://" (the same inside
/// TLS), then optionally "user:password@", the host (a name, a dotted IPv4
/// address or a bracketed IPv6 address) and optionally ":port" (default
/// 1756, 80 and 443); without a user the library logs in as "live". All
/// clients naming the same URL share one connection, so clients are cheap to
/// make, copy and drop. Making a client, or registering message callbacks
/// on it, sends the device nothing: the connection opens on the first
/// request or connect(), logs in (telling the device the message ids asked
/// for), and opens again with the next request after it closed.
///
/// A reply is matched to its request by command word and 8-bit transaction
/// id: the id a request gets is held by no other outstanding request of the
/// same command word on the connection. While all 256 are held, a request
/// waits, unsent, for the first to free: sendRequest() then returns -1, the
/// request takes its id when it is sent (the reply's header carries it) and
/// completes like any other; its time-out runs while it waits, and it counts
/// against the connection's queue of 1200 requests.
///
/// Any thread may call any member. Callbacks run on the library's worker
/// thread with the library lock released, or on the application's thread
/// through System::dispatchCallback once a notification handler is set.
/// Besides device messages, message callbacks receive the library's own
/// events about the connection, as messages without payload: 0x00100020
/// registered, 0x00110020 closed, 0x00120020 connect failed, 0x00130020
/// registered with result 0, 0x00140020 name not resolved, 0x00150020
/// address unusable. Each comes once for what it reports (every connect
/// attempt that fails reports its own), in the order things happened.
class ZELKIT_API ZelClient {
 public:
  /// How the server certificates of "https://" connections are trusted.
  enum CertificateCheckingMode {
    CertificateCheckNone = 0,    ///< Every certificate (the default).
    CertificateCheckCached = 1,  ///< Those approved before for the host and port (kept in "cert.cache").
    CertificateCheckAlways = 2,  ///< Those approved on the connection itself; other values act alike.
  };

  /// A client of the device at the URL. Starts the library on first use;
  /// sends the device nothing (see the class description).
  /// \param url The device's URL (see the class description).
  /// \param sessionId The session id written into this client's requests.
  /// \param num The num written into this client's requests.
  ZelClient(char const* url, unsigned long sessionId, unsigned short num);
  /// A client sharing other's connection, with ids of its own.
  /// \param other The client whose connection to share.
  /// \param sessionId The session id written into this client's requests.
  /// \param num The num written into this client's requests.
  ZelClient(ZelClient& other, unsigned long sessionId, unsigned short num);
  /// A client sharing other's connection, with session id 0 and num 0.
  /// \param other The client whose connection to share.
  ZelClient(ZelClient& other);
  /// Lets go of this client's connection and shares other's, with its ids.
  /// \param other The client to copy.
  /// \return This client.
  ZelClient& operator=(ZelClient& other);
  /// Lets go of the connection; the library closes it once no client and no
  /// message callback uses it and it has been idle a while.
  virtual ~ZelClient();

  /// Sets the connection's one primary message callback, for every message;
  /// it replaces the earlier primary callback.
  /// \param callback Called for each message (see ZelCallback).
  /// \param context Given to the callback.
  void registerMessageCallback(ZelCallback callback, void* context);
  /// Sets the connection's one primary message callback, for the listed
  /// message command words; it replaces the earlier primary callback.
  /// \param callback Called for each message (see ZelCallback).
  /// \param context Given to the callback.
  /// \param ids The command words.
  /// \param count Their count.
  void registerMessageCallback(ZelCallback callback, void* context, unsigned long const* ids, int count);
  /// Adds a message callback for the listed command words beside the
  /// others, after removing the context's earlier ones.
  /// \param callback Called for each message (see ZelCallback).
  /// \param context Given to the callback; identifies the subscription.
  /// \param ids The command words.
  /// \param count Their count.
  void subscribeMessageCallback(ZelCallback callback, void* context, unsigned long const* ids, int count);
  /// Removes the context's message callbacks. Does not wait for one running.
  /// \param context The context of the subscriptions.
  void unsubscribeMessageCallback(void* context);
  /// Removes the message callbacks of this callback and context, the
  /// callbacks of its requests still waiting on the connection, and its
  /// timers. Called on another thread than the worker, it returns once no
  /// callback of the context runs; from inside the callback it does not wait.
  /// \param callback The callback, or null for every callback of the context.
  /// \param context The context.
  void unregisterCallback(ZelCallback callback, void* context);

  /// Sends a request without payload; synchronous form (see the next one).
  /// \param timeoutMs Time for the reply; 0 takes the default (setDefaultTimeout).
  /// \param commandWord The command word.
  /// \param response Armed for the reply: its wait() or first read blocks
  ///        until the reply and throws the device's or the local error.
  /// \return The request's transaction id (0 to 255), or -1 while it waits for
  ///         a free one (see the class description).
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelInputStream& response);
  /// Sends a request whose reply the caller reads from response.
  /// \param timeoutMs Time for the reply; 0 takes the default (setDefaultTimeout).
  /// \param commandWord The command word.
  /// \param payload The payload; the stream keeps its bytes.
  /// \param response Armed for the reply: its wait() or first read blocks
  ///        until the reply and throws the device's or the local error.
  /// \return The request's transaction id (0 to 255), or -1 while it waits for
  ///         a free one (see the class description).
  /// \throws BadParameterException* for a payload that does not fit a request.
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload, ZelInputStream& response);
  /// Sends a request whose reply goes to a callback.
  /// \param timeoutMs Time for the reply; 0 takes the default (setDefaultTimeout).
  /// \param commandWord The command word.
  /// \param payload The payload; the stream keeps its bytes.
  /// \param callback Gets the reply, or the failure in ZelHeader::errorCode (see ZelCallback).
  /// \param context Given to the callback.
  /// \return The request's transaction id (0 to 255), or -1 while it waits for
  ///         a free one (see the class description).
  /// \throws BadParameterException* for a payload that does not fit a request.
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload, ZelCallback callback,
                  void* context);
  /// Sends a request with other header ids than the client's; its reply goes
  /// to a callback.
  /// \param timeoutMs Time for the reply; 0 takes the default (setDefaultTimeout).
  /// \param commandWord The command word.
  /// \param sessionId The session id of this request.
  /// \param num The num of this request.
  /// \param payload The payload; the stream keeps its bytes.
  /// \param callback Gets the reply, or the failure in ZelHeader::errorCode (see ZelCallback).
  /// \param context Given to the callback.
  /// \return The request's transaction id (0 to 255), or -1 while it waits for
  ///         a free one (see the class description).
  /// \throws BadParameterException* for a payload that does not fit a request.
  int sendRequest(int timeoutMs, unsigned long commandWord, unsigned long sessionId, unsigned short num,
                  ZelOutputStream& payload, ZelCallback callback, void* context);
  /// Sends a request without payload whose reply goes to a callback.
  /// \param timeoutMs Time for the reply; 0 takes the default (setDefaultTimeout).
  /// \param commandWord The command word.
  /// \param callback Gets the reply, or the failure in ZelHeader::errorCode (see ZelCallback).
  /// \param context Given to the callback.
  /// \return The request's transaction id (0 to 255), or -1 while it waits for
  ///         a free one (see the class description).
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelCallback callback, void* context);
  /// Sends a request and waits for its reply.
  /// \param timeoutMs Time for the reply; 0 takes the default (setDefaultTimeout).
  /// \param commandWord The command word.
  /// \param payload The payload; the stream keeps its bytes.
  /// \param response Receives the reply.
  /// \return The request's transaction id (0 to 255), or -1 while it waits for
  ///         a free one (see the class description).
  /// \throws Exception* the device's error reply or the local failure, as ZelInputStream::wait().
  int sendRequestSync(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload, ZelInputStream& response);

  /// Starts connecting when the connection is idle; otherwise nothing. A
  /// client that only listens to messages calls it, as no request opens the
  /// connection for it. The outcome reaches the message callbacks
  /// (0x00100020 registered, 0x00120020 connect failed, and so on).
  void connect();
  /// As connect().
  /// \param[out] result -1 when the connection is logged in already, else 0.
  void connect(int& result);
  /// Closes the connection (message 0x00110020); a later request opens it
  /// again.
  void disconnect();

  /// \return The client id the device gave at registration (0 before).
  unsigned short getClientId();
  /// \return The connection's URL, as the clients named it.
  char const* getUrl() const;
  /// \return The privilege level the device granted at login (0 before).
  int getPrivilegeLevel();
  /// \return Whether the connection runs TLS.
  bool isEncrypted() const;
  /// Sets how long the connection stays quiet before the library checks
  /// that the device is still there (default 5 seconds).
  /// \param seconds The interval in seconds.
  void setLiveCheckInterval(int seconds);
  /// \return The num written into this client's requests.
  unsigned short getNum() const;
  /// \return The session id written into this client's requests.
  unsigned long getSessionId() const;
  /// Sets the num of this client's later requests.
  /// \param num The num.
  void setNum(unsigned short num);
  /// Sets the session id of this client's later requests.
  /// \param sessionId The session id.
  void setSessionId(unsigned long sessionId);

  /// \return This host's IPv4 address in host byte order. Starts the library on first use.
  static unsigned long getOwnAddress();
  /// \return This host's name. Starts the library on first use.
  static char const* getOwnUrl();
  /// Looks up, once, the network adapter on this host's address.
  /// \return Its 6-byte MAC address; six zeros when none matched.
  static unsigned char const* getOwnMacAddress();
  /// Sets the time a connect may take, for every connection (default 3000 ms).
  /// \param milliseconds The time-out.
  static void setConnectTimeout(int milliseconds);
  /// Sets the time-out of requests sent with time-out 0 (default 5000 ms).
  /// \param milliseconds The time-out.
  static void setDefaultTimeout(int milliseconds);

  /// Posts a firmware file to the device's web server from a thread of its
  /// own, over TLS when the connection uses it. The library's worker reports
  /// the upload's state to the message callbacks (subscribeMessageCallback)
  /// as local events, on the worker thread or through
  /// System::dispatchCallback: 0x00300020 started, 0x00310020 done,
  /// 0x00320020 failed. It reports the latest state only, so an upload that
  /// ends at once may go straight to done or failed.
  /// \param file The file's path, or null to abort the running upload.
  /// \return 0 when the upload started (with a null file: always); -1 when
  ///         one runs already on the connection, or the file cannot be read
  ///         or is larger than 4294967295 bytes.
  int startFirmwareUpload(char const* file);

  /// Sets how "https://" connections trust server certificates; applies to
  /// handshakes completed afterwards, on every connection. A certificate
  /// that is not trusted holds its connection back (nothing is sent) until
  /// approved() and, with a callback, is reported to it (on the worker
  /// thread, under the library's lock): header tag 0x00601020 for a
  /// certificate not known, 0x00601021 for one that changed for the host and
  /// port, with a 512-byte text ("Issued to", "Issued by", the dates) as
  /// payload; with rawCertificate, tags 0x00600C20 and 0x00600C21 and the
  /// certificate's DER bytes. The header's sourceUrl names the connection.
  /// \param mode The trust rule.
  /// \param rawCertificate Report the certificate's DER bytes instead of the text.
  /// \param callback Gets the reports, or null.
  /// \param context Given to the callback.
  /// \return 0.
  static int setCertificateCheckingMode(CertificateCheckingMode mode, bool rawCertificate, ZelCallback callback,
                                        void* context);
  /// Trusts the server certificate of this client's connection and lets the
  /// connection go on (in mode CertificateCheckCached the approval is kept
  /// in the certificate cache).
  void approved();

 private:
  friend class detail::Connection;
  friend class System;
  friend class RtpStreamer;
  static ZelOutputStream& noPayload();
  static ZelInputStream& noResponse();

  uint32_t sessionId_;
  uint16_t num_;
  detail::Connection* connection_;
};

}  // namespace zelkit
