#include "zelkit/client.h"

#include <cstdio>
#include <cstring>

#include "client/scanner/adapter_info.h"
#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"

namespace zelkit {

namespace {

ZelHeader requestHeader(unsigned long commandWord, unsigned long sessionId, unsigned short num) {
  ZelHeader header(commandWord, 0);
  header.sessionId = static_cast<uint32_t>(sessionId);
  header.num = num;
  return header;
}

}  // namespace

ZelClient::ZelClient(char const* url, unsigned long sessionId, unsigned short num)
    : sessionId_(static_cast<uint32_t>(sessionId)), num_(num), connection_(nullptr) {
  detail::core().ensureInitialized();
  connection_ = detail::core().getConnection(url);
}

ZelClient::ZelClient(ZelClient& other, unsigned long sessionId, unsigned short num)
    : sessionId_(static_cast<uint32_t>(sessionId)), num_(num), connection_(nullptr) {
  detail::GlobalLock lock;
  connection_ = other.connection_;
  ++connection_->refCount;
}

ZelClient::ZelClient(ZelClient& other) : ZelClient(other, 0, 0) {}

ZelClient& ZelClient::operator=(ZelClient& other) {
  detail::GlobalLock lock;
  --connection_->refCount;
  connection_ = other.connection_;
  sessionId_ = other.sessionId_;
  num_ = other.num_;
  ++connection_->refCount;
  return *this;
}

ZelClient::~ZelClient() {
  detail::GlobalLock lock;
  --connection_->refCount;
}

void ZelClient::registerMessageCallback(ZelCallback callback, void* context) {
  connection_->registerMessageCallback(callback, context, nullptr, -1, 0);
}

namespace {

// The tags as 32-bit values, whatever the width of unsigned long.
struct TagList {
  uint32_t tags[detail::MAX_MESSAGE_IDS];
  int count;
  TagList(unsigned long const* ids, int idCount) : tags(), count(idCount) {
    const int stored = idCount < detail::MAX_MESSAGE_IDS ? idCount : detail::MAX_MESSAGE_IDS;
    for (int i = 0; i < stored; ++i) tags[i] = static_cast<uint32_t>(ids[i]);
  }
};

}  // namespace

void ZelClient::registerMessageCallback(ZelCallback callback, void* context, unsigned long const* ids, int count) {
  const TagList list(ids, count);
  connection_->registerMessageCallback(callback, context, list.tags, list.count, 0);
}

void ZelClient::subscribeMessageCallback(ZelCallback callback, void* context, unsigned long const* ids, int count) {
  const TagList list(ids, count);
  connection_->registerMessageCallback(callback, context, list.tags, list.count, 1);
}

void ZelClient::unsubscribeMessageCallback(void* context) {
  connection_->registerMessageCallback(nullptr, context, nullptr, 0, 2);
}

void ZelClient::unregisterCallback(ZelCallback callback, void* context) {
  detail::Core& engine = detail::core();
  detail::GlobalLock lock;
  const bool hadEntries = connection_->hasCallbacks();
  connection_->unregisterCallback(callback, context);
  engine.removeTimers(callback, context);
  if (hadEntries && !connection_->hasCallbacks()) --connection_->refCount;
  // Afterwards no callback of the context runs, here or queued for later.
  engine.waitForCallbacksOf(context);
}

int ZelClient::sendRequest(int timeoutMs, unsigned long commandWord, ZelInputStream& response) {
  return sendRequest(timeoutMs, commandWord, noPayload(), response);
}

int ZelClient::sendRequest(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload,
                           ZelInputStream& response) {
  ZelInputStream* armed = &response == &noResponse() ? nullptr : &response;
  return detail::core().sendRequest(timeoutMs, connection_, requestHeader(commandWord, sessionId_, num_),
                                    detail::Request, payload, armed, nullptr, nullptr);
}

int ZelClient::sendRequest(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload, ZelCallback callback,
                           void* context) {
  return sendRequest(timeoutMs, commandWord, sessionId_, num_, payload, callback, context);
}

int ZelClient::sendRequest(int timeoutMs, unsigned long commandWord, unsigned long sessionId, unsigned short num,
                           ZelOutputStream& payload, ZelCallback callback, void* context) {
  return detail::core().sendRequest(timeoutMs, connection_, requestHeader(commandWord, sessionId, num),
                                    detail::Request, payload, nullptr, callback, context);
}

int ZelClient::sendRequest(int timeoutMs, unsigned long commandWord, ZelCallback callback, void* context) {
  return sendRequest(timeoutMs, commandWord, noPayload(), callback, context);
}

int ZelClient::sendRequestSync(int timeoutMs, unsigned long commandWord, ZelOutputStream& payload,
                               ZelInputStream& response) {
  const int transactionId = sendRequest(timeoutMs, commandWord, payload, response);
  response.wait();
  return transactionId;
}

void ZelClient::connect() {
  detail::GlobalLock lock;
  if (connection_->state == detail::ConnectionState::Idle) connection_->connect();
}

void ZelClient::connect(int& result) {
  detail::GlobalLock lock;
  if (connection_->state == detail::ConnectionState::Registered) {
    result = -1;
    return;
  }
  connect();
  result = 0;
}

void ZelClient::disconnect() { connection_->close(detail::LocalEvent::ConnectionClosed, "Client disconnect", 0); }

unsigned short ZelClient::getClientId() {
  detail::GlobalLock lock;
  return static_cast<unsigned short>(connection_->clientId);
}

char const* ZelClient::getUrl() const {
  detail::GlobalLock lock;
  return connection_->url;
}

int ZelClient::getPrivilegeLevel() {
  detail::GlobalLock lock;
  return connection_->privilegeLevel;
}

bool ZelClient::isEncrypted() const {
  detail::GlobalLock lock;
  return connection_->tls;
}

void ZelClient::setLiveCheckInterval(int seconds) {
  detail::GlobalLock lock;
  connection_->liveCheckIntervalMs = seconds * 1000;
}

unsigned short ZelClient::getNum() const { return num_; }

unsigned long ZelClient::getSessionId() const { return sessionId_; }

void ZelClient::setNum(unsigned short num) { num_ = num; }

void ZelClient::setSessionId(unsigned long sessionId) { sessionId_ = static_cast<uint32_t>(sessionId); }

unsigned long ZelClient::getOwnAddress() {
  detail::core().ensureInitialized();
  return ntohl(detail::core().ownIpv4Address());
}

char const* ZelClient::getOwnUrl() {
  detail::core().ensureInitialized();
  return detail::core().ownName();
}

unsigned char const* ZelClient::getOwnMacAddress() {
  detail::core().ensureInitialized();
  static bool lookedUp = false;
  static unsigned char mac[6] = {};
  detail::GlobalLock lock;
  if (lookedUp) return mac;
  lookedUp = true;
  const uint32_t own = detail::core().ownIpv4Address();
  const auto* bytes = reinterpret_cast<const uint8_t*>(&own);
  char ownText[16];
  std::snprintf(ownText, sizeof ownText, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
  // No adapter on that subnet leaves the zeros of the defaults.
  detail::AdapterInfo adapter;
  detail::getAdapterInfo(ownText, &adapter);
  std::memcpy(mac, adapter.mac, sizeof mac);
  return mac;
}

void ZelClient::setConnectTimeout(int milliseconds) {
  detail::core().ensureInitialized();
  detail::core().setConnectTimeout(milliseconds);
}

void ZelClient::setDefaultTimeout(int milliseconds) { detail::core().setDefaultTimeout(milliseconds); }

ZelOutputStream& ZelClient::noPayload() { return detail::emptyPayload(); }

ZelInputStream& ZelClient::noResponse() {
  static ZelInputStream* const none = new ZelInputStream();
  return *none;
}

}  // namespace zelkit
