// The replay controller: its holders, the device's replies and messages,
// and the events raised to the application.
#include "client/replay/replay_controller.h"

#include <algorithm>

#include "client/replay/replay_commands.h"
#include "client/replay/replay_lock.h"
#include "client/replay/slice_list.h"
#include "core/engine/core.h"

namespace zelkit::detail {

// Holds the replay lock while a handler runs, and frees the controller
// afterwards when its last holder went meanwhile.
class ReplayController::HandlerScope {
 public:
  explicit HandlerScope(ReplayController* controller) : controller_(controller) {
    replayLock().enter();
    ++controller_->runningHandlers_;
  }
  ~HandlerScope() {
    const bool orphaned = --controller_->runningHandlers_ == 0 && controller_->released_;
    replayLock().leave();
    if (orphaned) delete controller_;
  }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  ReplayController* controller_;
};

ReplayController::ReplayController(ZelReplayClient* owner) : holders_{owner} {
  const unsigned long endOfSlice = ReplayCommand::EndOfSlice;
  owner->subscribeMessageCallback(onEndOfSlice, this, &endOfSlice, 1);
  owner->sendRequest(SLICE_LIST_TIMEOUT_MS, ReplayCommand::SliceList, onSliceList, this);
}

void ReplayController::share(ZelReplayClient* holder) {
  CriticalSectionLock guard(&replayLock());
  holders_.push_back(holder);
}

void ReplayController::release(ReplayController* controller, ZelReplayClient* holder) {
  {
    CriticalSectionLock guard(&replayLock());
    auto& holders = controller->holders_;
    holders.erase(std::find(holders.begin(), holders.end(), holder));
    if (!holders.empty()) return;
  }
  // Outside the replay lock: a handler on another thread may be waiting for
  // it, and this waits for that handler.
  holder->unregisterCallback(nullptr, controller);
  CriticalSectionLock guard(&replayLock());
  if (controller->runningHandlers_ > 0)
    controller->released_ = true;
  else
    delete controller;
}

void ReplayController::raise(ReplayEvent event, void* arg) {
  CriticalSectionLock guard(&replayLock());
  lastEvent_ = static_cast<uint32_t>(event);
  if (eventCallback_ != nullptr) eventCallback_(eventContext_, event, arg);
}

void ReplayController::onSliceList(void* context, ZelHeader& header, ZelInputStream& payload) {
  auto* self = static_cast<ReplayController*>(context);
  HandlerScope scope(self);
  if (header.errorCode != 0) {
    self->raise(ReplayEventError, &header.errorCode);
    return;
  }
  self->slices_.clear();
  readSlices(payload, self->slices_);
  self->raise(ReplayEventSliceList, nullptr);
  // A seek made before the list came.
  if (self->requestedTime_ != 0) self->seek(self->requestedTime_, self->occurrence_, self->utc_);
}

void ReplayController::onEndOfSlice(void* context, ZelHeader& header, ZelInputStream&) {
  auto* self = static_cast<ReplayController*>(context);
  HandlerScope scope(self);
  if (self->holders_.empty() || header.sessionId != self->holders_.front()->getSessionId()) return;
  const int current = self->currentSlice_;
  if (!self->layer_ || current < 1) {
    self->playSpeed_ = 0;
    self->setPlayState(0);
    return;
  }
  // Playing the layer backwards: on to the end of the slice before.
  self->utc_ = false;
  self->moveTo(current - 1, self->slices_[static_cast<size_t>(current - 1)].end);
}

void ReplayController::onJumpReply(void* context, ZelHeader& header, ZelInputStream&) {
  auto* self = static_cast<ReplayController*>(context);
  HandlerScope scope(self);
  // The timer of a seek on an empty list arrives here as well.
  if (header.errorCode != 0 || header.tag == LocalEvent::Timer) self->raise(ReplayEventError, &header.errorCode);
}

void ReplayController::onPlayReply(void* context, ZelHeader&, ZelInputStream& payload) {
  auto* self = static_cast<ReplayController*>(context);
  HandlerScope scope(self);
  uint32_t state = 0;
  if (payload.available() == 4) {
    state = static_cast<uint32_t>(payload.readULong());
    // Some devices answer in their own byte order.
    if (state > 0x00FFFFFF) state = __builtin_bswap32(state);
  }
  self->setPlayState(state);
}

void ReplayController::setPlayState(uint32_t state) {
  CriticalSectionLock guard(&replayLock());
  if (state == playState_) return;
  playState_ = state;
  raise(ReplayEventPlayState, &playState_);
}

std::vector<HddSlice> ReplayController::slices() {
  CriticalSectionLock guard(&replayLock());
  return slices_;
}

void ReplayController::setEventCallback(ReplayEventCallback callback, void* context) {
  CriticalSectionLock guard(&replayLock());
  eventCallback_ = callback;
  eventContext_ = context;
}

int ReplayController::currentLocaltimeOffset() {
  CriticalSectionLock guard(&replayLock());
  if (currentSlice_ < 0 || currentSlice_ >= static_cast<int>(slices_.size())) return 0;
  return slices_[static_cast<size_t>(currentSlice_)].localtimeOffset();
}

}  // namespace zelkit::detail
