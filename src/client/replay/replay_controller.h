#pragma once

#include <cstdint>
#include <vector>

#include "zelkit/replay_client.h"

namespace zelkit::detail {

// The replay state behind a ZelReplayClient and its copies. Every field is
// guarded by the replay lock.
//
// The clients sharing it are its holders; the first is the owner, whose
// requests drive the device. When the owner goes, the next holder takes
// over, and the last holder to go frees the controller, so neither a copy
// nor an assignment leaves it freed twice or subscribed without a client.
class ReplayController {
 public:
  // Subscribes to the device's end-of-slice message and asks for the slice list.
  explicit ReplayController(ZelReplayClient* owner);
  ReplayController(const ReplayController&) = delete;
  ReplayController& operator=(const ReplayController&) = delete;

  void share(ZelReplayClient* holder);
  // The holder lets go. The last one unregisters the controller from its
  // connection, waiting for a handler running on another thread, and frees
  // it: call it while the holder still uses the controller's connection.
  static void release(ReplayController* controller, ZelReplayClient* holder);

  void seek(uint32_t time, int occurrence, bool utc);
  void play(int speed);
  std::vector<HddSlice> slices();
  void setVcdLayer(int layer);
  void setProfileFilter(int profile);
  void setEventCallback(ReplayEventCallback callback, void* context);
  int currentLocaltimeOffset();

 private:
  class HandlerScope;
  ~ReplayController() = default;

  // Reply, message and timer handlers; the context is the controller.
  static void onSliceList(void* context, ZelHeader& header, ZelInputStream& payload);
  static void onEndOfSlice(void* context, ZelHeader& header, ZelInputStream& payload);
  static void onJumpReply(void* context, ZelHeader& header, ZelInputStream& payload);
  static void onPlayReply(void* context, ZelHeader& header, ZelInputStream& payload);

  void raise(ReplayEvent event, void* arg);
  void moveTo(int slice, uint32_t time);
  void setPlayState(uint32_t state);
  // Through the owner; a null handler sends without waiting for the reply.
  // Nothing goes out once every holder has gone.
  void send(uint32_t commandWord, ZelOutputStream& payload, ZelCallback handler);
  void sendOctet(uint32_t commandWord, uint8_t value, ZelCallback handler);
  void sendULong(uint32_t commandWord, uint32_t value, ZelCallback handler);

  std::vector<ZelReplayClient*> holders_;  // the owner first
  std::vector<HddSlice> slices_;
  uint32_t requestedTime_ = 0;
  int playSpeed_ = 0;
  uint32_t playState_ = 0;
  bool utc_ = false;
  int occurrence_ = 0;
  int currentSlice_ = -1;
  bool layer_ = false;
  uint32_t lastEvent_ = 0;  // 0 until the slice-list reply came
  ReplayEventCallback eventCallback_ = nullptr;
  void* eventContext_ = nullptr;
  // Handlers running on this controller, and whether the last holder went
  // while one of them ran (the holder destroyed from the event callback):
  // the handler then frees the controller when it returns.
  int runningHandlers_ = 0;
  bool released_ = false;
};

}  // namespace zelkit::detail
