#include "zelkit/replay_client.h"

#include "client/replay/replay_controller.h"

namespace zelkit {

ZelReplayClient::ZelReplayClient(char const* url, unsigned short num, bool)
    : RtpStreamer(url, num), controller_(new detail::ReplayController(this)) {}

ZelReplayClient::ZelReplayClient(ZelReplayClient& other) : RtpStreamer(other), controller_(other.controller_) {
  controller_->share(this);
}

ZelReplayClient& ZelReplayClient::operator=(ZelReplayClient& other) {
  if (controller_ == other.controller_) {
    RtpStreamer::operator=(other);
    return *this;
  }
  // Let go of the old controller while this client still uses its
  // connection: its subscription lives there.
  detail::ReplayController::release(controller_, this);
  controller_ = nullptr;
  RtpStreamer::operator=(other);
  controller_ = other.controller_;
  controller_->share(this);
  return *this;
}

ZelReplayClient::~ZelReplayClient() {
  if (controller_ != nullptr) detail::ReplayController::release(controller_, this);
}

void ZelReplayClient::seek(unsigned long time) { controller_->seek(static_cast<uint32_t>(time), 0, false); }

void ZelReplayClient::seekUtc(unsigned long time, int occurrence) {
  controller_->seek(static_cast<uint32_t>(time), occurrence, true);
}

void ZelReplayClient::play(int speed) { controller_->play(speed); }

std::vector<HddSlice> ZelReplayClient::getSlices() { return controller_->slices(); }

void ZelReplayClient::setVcdLayer(int layer) { controller_->setVcdLayer(layer); }

void ZelReplayClient::setProfileFilter(int profile) { controller_->setProfileFilter(profile); }

void ZelReplayClient::registerEventCallback(ReplayEventCallback callback, void* context) {
  controller_->setEventCallback(callback, context);
}

int ZelReplayClient::getCurrentLocaltimeOffset() { return controller_->currentLocaltimeOffset(); }

}  // namespace zelkit
