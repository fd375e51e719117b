// What the replay controller sends: seeks, moves between slices, speeds
// and the filters.
#include "client/replay/replay_commands.h"
#include "client/replay/replay_controller.h"
#include "client/replay/replay_lock.h"
#include "client/replay/seek_target.h"
#include "zelkit/system.h"

namespace zelkit::detail {

void ReplayController::seek(uint32_t time, int occurrence, bool utc) {
  CriticalSectionLock guard(&replayLock());
  requestedTime_ = time;
  utc_ = utc;
  occurrence_ = occurrence;
  // The slice-list reply repeats the seek.
  if (lastEvent_ == 0) return;
  const SeekTarget target = chooseSeekTarget(slices_, time, occurrence, utc, layer_);
  if (target.slice < 0) {
    // Reported as a failed jump, from the worker, about a millisecond later.
    ZelOutputStream noPayload;
    System::setTimer(1, 0, onJumpReply, this, noPayload);
    return;
  }
  utc_ = target.utc;
  moveTo(target.slice, target.time);
}

void ReplayController::moveTo(int slice, uint32_t time) {
  if (slice < 0 || slice >= static_cast<int>(slices_.size())) return;
  const HddSlice& target = slices_[static_cast<size_t>(slice)];
  // The device works in its local time.
  if (utc_) time += static_cast<uint32_t>(target.localtimeOffset());
  if (slice == currentSlice_) {
    sendULong(ReplayCommand::Jump, time, onJumpReply);
    return;
  }
  sendOctet(ReplayCommand::Stop, 1, nullptr);
  sendULong(ReplayCommand::SliceEnd, target.end, nullptr);
  sendULong(ReplayCommand::Jump, time, onJumpReply);
  if (playSpeed_ != 0) {
    ZelOutputStream speed;
    speed.writeInt(playSpeed_);
    send(ReplayCommand::Speed, speed, onPlayReply);
  }
  currentSlice_ = slice;
}

void ReplayController::play(int speed) {
  CriticalSectionLock guard(&replayLock());
  playSpeed_ = speed;
  if (lastEvent_ == 0) return;
  if (layer_ && speed == 0) {
    currentSlice_ = -1;
    sendOctet(ReplayCommand::Stop, 1, onPlayReply);
  } else {
    sendOctet(ReplayCommand::Speed, static_cast<uint8_t>(speed), onPlayReply);
  }
}

void ReplayController::setVcdLayer(int layer) {
  CriticalSectionLock guard(&replayLock());
  layer_ = layer != 0;
  sendULong(ReplayCommand::VcdLayer, static_cast<uint32_t>(layer), nullptr);
}

void ReplayController::setProfileFilter(int profile) {
  CriticalSectionLock guard(&replayLock());
  sendULong(ReplayCommand::ProfileFilter, static_cast<uint32_t>(profile), nullptr);
}

void ReplayController::send(uint32_t commandWord, ZelOutputStream& payload, ZelCallback handler) {
  if (holders_.empty()) return;
  holders_.front()->sendRequest(0, commandWord, payload, handler, handler != nullptr ? this : nullptr);
}

void ReplayController::sendOctet(uint32_t commandWord, uint8_t value, ZelCallback handler) {
  ZelOutputStream payload;
  payload.writeOctet(value);
  send(commandWord, payload, handler);
}

void ReplayController::sendULong(uint32_t commandWord, uint32_t value, ZelCallback handler) {
  ZelOutputStream payload;
  payload.writeULong(value);
  send(commandWord, payload, handler);
}

}  // namespace zelkit::detail
