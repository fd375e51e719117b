#include "core/engine/lock.h"
#include "zelkit/session.h"

namespace zelkit {

ZelSessionRef::ZelSessionRef() : session_(nullptr) {}

ZelSessionRef::ZelSessionRef(ZelSession* session) : session_(session) { ++session->refCount_; }

ZelSessionRef::ZelSessionRef(const ZelSessionRef& other) : session_(nullptr) {
  detail::GlobalLock lock;
  session_ = other.session_;
  if (session_ != nullptr) session_->retain();
}

ZelSessionRef& ZelSessionRef::operator=(const ZelSessionRef& other) {
  detail::GlobalLock lock;
  // The new session is counted first: assigning a session's last handle to
  // itself must not delete it on the way.
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

}  // namespace zelkit
