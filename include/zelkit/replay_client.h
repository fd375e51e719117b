#pragma once

/// \file
/// Replay of a recorder's recordings.

#include <cstdint>
#include <vector>

#include "zelkit/export.h"
#include "zelkit/rtp_streamer.h"

namespace zelkit {

namespace detail {
class ReplayController;
}

/// One recorded stretch of a device's storage: 16 bytes on the wire, the
/// four fields in this order, each a 32-bit value in network byte order.
struct ZELKIT_API HddSlice {
  uint32_t start;  ///< First second, in the device's local time.
  uint32_t end;    ///< Last second, local time.
  uint32_t info;   ///< Bits 23-28: local-time offset in quarter hours; bit 29: it is negative.
  uint32_t flags;  ///< The device's, carried along.

  /// \return Seconds between UTC and the device's local time for this slice
  ///         (-56700 to 56700).
  int localtimeOffset() const;
};

/// What the replay client reports to its event callback.
enum ReplayEvent : int {
  ReplayEventSliceList = 1,  ///< arg null: the slice list has arrived.
  ReplayEventError = 2,      ///< arg int*: the error code of the failed request (0: a seek on an empty list).
  ReplayEventPlayState = 3,  ///< arg uint32_t*: the play state the device reported.
};

/// Event callback of a replay client. Runs on the library's worker (or in
/// System::dispatchCallback) with the replay lock held, so it may call the
/// client's members.
/// \param context The context given with the callback.
/// \param event What happened.
/// \param arg As the event says; valid only during the call.
typedef void (*ReplayEventCallback)(void* context, ReplayEvent event, void* arg);

/// Plays back what a device recorded: fetches its slice list on
/// construction, turns a wanted time into a slice and a position, moves the
/// playback there and follows the device's end-of-slice messages. The media
/// flows through the streamer part. Copies share the replay state, which
/// goes with the last of them. Members may be called from any thread.
class ZELKIT_API ZelReplayClient : public RtpStreamer {
 public:
  /// A replay client of the device at the URL; asks for the slice list
  /// (time-out 5000 ms) and follows the device's end-of-slice messages.
  /// \param url The device's URL (see ZelClient).
  /// \param num The num of the client's requests.
  /// \param unused Not used.
  ZelReplayClient(char const* url, unsigned short num, bool unused);
  /// A client sharing other's connection, media part and replay state.
  /// \param other The client to share with.
  ZelReplayClient(ZelReplayClient& other);
  /// Lets go of this client's replay state and shares other's, as the
  /// streamer part does.
  /// \param other The client to share with.
  /// \return This client.
  ZelReplayClient& operator=(ZelReplayClient& other);
  /// The last client of a replay state removes its callbacks (waiting for
  /// one running on another thread) and frees it.
  virtual ~ZelReplayClient();

  /// Moves playback to a local time: into the first slice holding it, else
  /// to the start of the first slice after it, else to the start of the
  /// last slice. Made before the slice list arrived, the seek is carried out
  /// when it does. On an empty list ReplayEventError follows.
  /// \param time Seconds, in the device's local time.
  void seek(unsigned long time);
  /// Moves playback to a UTC time, as seek() does, into the
  /// occurrence-th slice holding it.
  /// \param time Seconds, UTC.
  /// \param occurrence Which of the slices holding the time (1 the first).
  void seekUtc(unsigned long time, int occurrence);
  /// Sets the play speed, as the device takes it. Before the slice list
  /// arrived it only applies to the next move. The device's answer comes as
  /// ReplayEventPlayState.
  /// \param speed The speed; with a layer set, 0 stops and forgets the current slice.
  void play(int speed);
  /// \return A copy of the slice list (empty until it arrived).
  std::vector<HddSlice> getSlices();
  /// Sends the device the layer to play. A layer other than 0 also plays
  /// backwards through the slices: seeks go to the end of the slice before
  /// the one found, and at a slice's end playback moves to the end of the
  /// slice before.
  /// \param layer The layer.
  void setVcdLayer(int layer);
  /// Sends the device the profile to play.
  /// \param profile The profile.
  void setProfileFilter(int profile);
  /// Sets the event callback, replacing the earlier one.
  /// \param callback Called for each event (see ReplayEventCallback), or null.
  /// \param context Given to the callback.
  void registerEventCallback(ReplayEventCallback callback, void* context);
  /// \return The local-time offset (HddSlice::localtimeOffset) of the slice
  ///         playback was moved to; 0 while there is none.
  int getCurrentLocaltimeOffset();

 private:
  detail::ReplayController* controller_;
};

}  // namespace zelkit
