#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "server/server_state.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

constexpr uint16_t PRIVILEGE_BITS = 0x0003;
constexpr uint16_t TRANSFER_MODE_BITS = 0x000C;
constexpr uint32_t FALLBACK_RESPONSE_TIMEOUT_MS = 5000;

}  // namespace

ZelSession::ZelSession() : self_(), refCount_(0), flags_(0), nextSession_(nullptr), connection_(nullptr) {
  self_ = ZelSessionRef(this);
}

int ZelSession::onLogin(const ZelHeader&, const char*, const char*) { return 2; }

int ZelSession::onHttpHeader(int, const char**, int) { return -1; }

ZelSession::~ZelSession() {
  detail::GlobalLock lock;
  if (connection_ != nullptr) connection_->session = nullptr;
  for (ZelSession** link = &detail::serverState().sessions; *link != nullptr; link = &(*link)->nextSession_) {
    if (*link == this) {
      *link = nextSession_;
      break;
    }
  }
  delete connection_;
  self_.reset();
}

bool ZelSession::release() {
  detail::GlobalLock lock;
  if (--refCount_ != 0) return false;
  delete this;
  return true;
}

ZelOutputStream& ZelSession::noPayload() {
  static ZelOutputStream* const empty = new ZelOutputStream();
  return *empty;
}

void ZelSession::submit(ZelHeader& header, ZelOutputStream& payload, uint32_t mode) {
  detail::GlobalLock lock;
  if (connection_ == nullptr) return;
  const ZelServer* server = detail::core().server();
  const uint32_t timeout = server != nullptr ? server->responseTimeoutMs_ : FALLBACK_RESPONSE_TIMEOUT_MS;
  detail::core().sendRequest(static_cast<int32_t>(timeout), connection_, header, mode, payload, nullptr, nullptr,
                             nullptr);
}

void ZelSession::respond(ZelHeader& header, ZelOutputStream& payload) { submit(header, payload, detail::Reply); }

void ZelSession::notify(ZelHeader& header, ZelOutputStream& payload) { submit(header, payload, detail::Message); }

int ZelSession::getPrivilegeLevel() const {
  detail::GlobalLock lock;
  return flags_ & PRIVILEGE_BITS;
}

void ZelSession::setPrivilegeLevel(int level) {
  detail::GlobalLock lock;
  flags_ = static_cast<uint16_t>((flags_ & ~PRIVILEGE_BITS) | (level & PRIVILEGE_BITS));
}

void ZelSession::disconnect() {
  detail::GlobalLock lock;
  if (connection_ != nullptr) connection_->close(detail::LocalEvent::ConnectionClosed, "Client disconnect", 0);
}

void ZelSession::setTimeout(int milliseconds) {
  detail::GlobalLock lock;
  if (connection_ != nullptr) connection_->liveCheckIntervalMs = milliseconds;
}

void ZelSession::setTransferMode(TransferMode mode) {
  // Only the mode's own bits: the privilege level shares the word.
  detail::GlobalLock lock;
  flags_ = static_cast<uint16_t>((flags_ & ~TRANSFER_MODE_BITS) | (static_cast<uint16_t>(mode) & TRANSFER_MODE_BITS));
}

}  // namespace zelkit
