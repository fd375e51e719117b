#pragma once

#include "zelkit/export.h"
#include "zelkit/streams.h"

namespace zelkit {

class RtpStreamer;
class System;

namespace detail {
class Connection;
}

// Handle through which an application talks to one device. All clients
// naming the same URL share one connection.
class ZELKIT_API ZelClient {
 public:
  // How the server certificates of "https://" connections are trusted.
  enum CertificateCheckingMode {
    CertificateCheckNone = 0,    // every certificate
    CertificateCheckCached = 1,  // those approved before for the host and port (kept in "cert.cache")
    CertificateCheckAlways = 2,  // those approved on the connection itself; other values act alike
  };

  ZelClient(char const* url, unsigned long sessionId, unsigned short num);
  ZelClient(ZelClient& other, unsigned long sessionId, unsigned short num);
  ZelClient(ZelClient& other);
  ZelClient& operator=(ZelClient& other);
  virtual ~ZelClient();

  void registerMessageCallback(ZelCallback callback, void* context);
  void registerMessageCallback(ZelCallback callback, void* context, unsigned long const* ids, int count);
  void subscribeMessageCallback(ZelCallback callback, void* context, unsigned long const* ids, int count);
  void unsubscribeMessageCallback(void* context);
  void unregisterCallback(ZelCallback callback, void* context);

  // Every form returns the request's transaction id (0 to 255), which no
  // other outstanding request of the same command word on the connection
  // holds. While all 256 are held the request waits, unsent, for the first
  // to free: it then returns -1, takes its id when it is sent (the reply's
  // header carries it) and completes like any other request; its time-out
  // runs while it waits, and it counts against the connection's queue.
  //
  // Synchronous forms arm the response stream; reading it (or wait()) blocks
  // until the reply and throws the device's or the local error.
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelInputStream& response);
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload, ZelInputStream& response);
  // Asynchronous forms: the callback's header carries the error code.
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload, ZelCallback callback,
                  void* context);
  int sendRequest(int timeoutMs, unsigned long commandWord, unsigned long sessionId, unsigned short num,
                  ZelOutputStream& payload, ZelCallback callback, void* context);
  int sendRequest(int timeoutMs, unsigned long commandWord, ZelCallback callback, void* context);
  int sendRequestSync(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload, ZelInputStream& response);

  void connect();
  void connect(int& result);
  void disconnect();

  unsigned short getClientId();
  char const* getUrl() const;
  int getPrivilegeLevel();
  bool isEncrypted() const;
  void setLiveCheckInterval(int seconds);
  unsigned short getNum() const;
  unsigned long getSessionId() const;
  void setNum(unsigned short num);
  void setSessionId(unsigned long sessionId);

  static unsigned long getOwnAddress();
  static char const* getOwnUrl();
  static unsigned char const* getOwnMacAddress();
  static void setConnectTimeout(int milliseconds);
  static void setDefaultTimeout(int milliseconds);

  // Posts the file to the device's web server from a thread of its own, over
  // TLS when the connection uses it. The outcome reaches the message
  // callbacks as the local events 0x00300020 (started), 0x00310020 (done)
  // and 0x00320020 (failed). Returns 0 when the upload started, -1 when one
  // runs already on the connection or the file cannot be read (or is larger
  // than 4294967295 bytes). A null file aborts the running upload (0).
  int startFirmwareUpload(char const* file);

  // Applies to handshakes completed afterwards, on every connection; returns
  // 0. A certificate that is not trusted holds its connection back (nothing
  // is sent) until approved() and, with a callback, is reported to it under
  // the library's lock: header tag 0x00601020 for a certificate not known,
  // 0x00601021 for one that changed for the host and port, with a 512-byte
  // text ("Issued to", "Issued by", the dates) as payload; with
  // rawCertificate, tags 0x00600C20 and 0x00600C21 and the certificate's DER
  // bytes. The header's sourceUrl names the connection.
  static int setCertificateCheckingMode(CertificateCheckingMode mode, bool rawCertificate, ZelCallback callback,
                                        void* context);
  // Trusts the server certificate of this client's connection and lets the
  // connection go on (in mode 1 the approval is remembered).
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
