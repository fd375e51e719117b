#include <algorithm>

#include "server/media/media_socket.h"

namespace zelkit::detail {

void SocketSet::add(platform::Socket handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (count_ == CAPACITY || std::find(handles_, handles_ + count_, handle) != handles_ + count_) return;
  handles_[count_++] = handle;
}

void SocketSet::remove(platform::Socket handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  platform::Socket* end = handles_ + count_;
  platform::Socket* found = std::find(handles_, end, handle);
  if (found == end) return;
  std::copy(found + 1, end, found);
  --count_;
}

void SocketSet::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  count_ = 0;
}

bool SocketSet::contains(platform::Socket handle) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::find(handles_, handles_ + count_, handle) != handles_ + count_;
}

int SocketSet::copyTo(platform::Socket out[CAPACITY]) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::copy(handles_, handles_ + count_, out);
  return static_cast<int>(count_);
}

}  // namespace zelkit::detail
