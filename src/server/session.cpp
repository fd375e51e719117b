#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "server/server_state.h"
#include "zelkit/server.h"

namespace zelkit {

namespace detail {

ServerState& serverState() {
  static ServerState* const state = new ServerState();
  return *state;
}

}  // namespace detail

ZelSessionRef::ZelSessionRef() : session_(nullptr) {}

ZelSessionRef::ZelSessionRef(ZelSession* session) : session_(session) { ++session->refCount_; }

ZelSessionRef::ZelSessionRef(const ZelSessionRef& other) : session_(nullptr) {
  detail::GlobalLock lock;
  session_ = other.session_;
  if (session_ != nullptr) session_->retain();
}

ZelSessionRef& ZelSessionRef::operator=(const ZelSessionRef& other) {
  detail::GlobalLock lock;
  ZelSession* previous = session_;
  session_ = other.session_;
  if (session_ != nullptr) session_->retain();
  if (previous != nullptr) previous->release();
  return *this;
}

ZelSessionRef::~ZelSessionRef() { reset(); }

void ZelSessionRef::reset() {
  detail::GlobalLock lock;
  ZelSession* session = session_;
  session_ = nullptr;
  if (session != nullptr) session->release();
}

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

// Request handling comes with the server: until then a request is dropped
// without an answer.
void ZelSession::dispatch(detail::ZelPacket* packet) { detail::ZelPacket::free(packet); }

}  // namespace zelkit
