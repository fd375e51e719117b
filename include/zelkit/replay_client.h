#pragma once

#include <cstdint>
#include <vector>

#include "zelkit/export.h"
#include "zelkit/rtp_streamer.h"

namespace zelkit {

namespace detail {
class ReplayController;
}

// One recorded stretch of a device's storage: 16 bytes on the wire, the
// four fields in this order, each a 32-bit value in network byte order.
struct ZELKIT_API HddSlice {
  uint32_t start;  // first second, in the device's local time
  uint32_t end;    // last second, local time
  uint32_t info;   // bits 23-28: local-time offset in quarter hours; bit 29: it is negative
  uint32_t flags;  // the device's, carried along

  // Seconds between UTC and the device's local time for this slice
  // (-56700 to 56700).
  int localtimeOffset() const;
};

enum ReplayEvent : int {
  ReplayEventSliceList = 1,  // arg null: the slice list has arrived
  ReplayEventError = 2,      // arg int*: the error code of the failed request (0: a seek on an empty list)
  ReplayEventPlayState = 3,  // arg uint32_t*: the play state the device reported
};

// Runs on the library's worker (or in System::dispatchCallback) with the
// replay lock held, so it may call the client's members.
typedef void (*ReplayEventCallback)(void* context, ReplayEvent event, void* arg);

// Plays back what a device recorded: fetches its slice list on
// construction, turns a wanted time into a slice and a position, moves the
// playback there and follows the device's end-of-slice messages. The media
// flows through the streamer part. Copies share the replay state, which
// goes with the last of them.
class ZELKIT_API ZelReplayClient : public RtpStreamer {
 public:
  // The bool is not used.
  ZelReplayClient(char const* url, unsigned short num, bool unused);
  ZelReplayClient(ZelReplayClient& other);
  ZelReplayClient& operator=(ZelReplayClient& other);
  virtual ~ZelReplayClient();

  // Seeks to a local time (the first slice holding it); made before the
  // slice list arrived, the seek is carried out when it does.
  void seek(unsigned long time);
  // Seeks to a UTC time: to the occurrence-th slice holding it (1 the first).
  void seekUtc(unsigned long time, int occurrence);
  // Speed as the device takes it; before the slice list arrived it only
  // applies to the next move.
  void play(int speed);
  std::vector<HddSlice> getSlices();
  void setVcdLayer(int layer);
  void setProfileFilter(int profile);
  // Replaces the earlier callback.
  void registerEventCallback(ReplayEventCallback callback, void* context);
  // The offset of the slice playback was moved to; 0 while there is none.
  int getCurrentLocaltimeOffset();

 private:
  detail::ReplayController* controller_;
};

}  // namespace zelkit
