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
