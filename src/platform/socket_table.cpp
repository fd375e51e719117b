#include "platform/socket_table.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/errors.h"

namespace zelkit::platform {

namespace {

// Descriptors up to 2^20; slots come in chunks allocated on first use and
// never freed, so a slot pointer stays valid for the life of the process.
constexpr int ChunkBits = 10;
constexpr int ChunkSize = 1 << ChunkBits;
constexpr int ChunkCount = 1024;
std::atomic<SocketSlot*> chunks[ChunkCount];

SocketSlot* slotAt(int fd, bool create) {
  if (fd < 0 || fd >= ChunkSize * ChunkCount) return nullptr;
  std::atomic<SocketSlot*>& chunk = chunks[fd >> ChunkBits];
  SocketSlot* slots = chunk.load(std::memory_order_acquire);
  if (slots == nullptr) {
    if (!create) return nullptr;
    auto* fresh = new SocketSlot[ChunkSize];
    if (chunk.compare_exchange_strong(slots, fresh, std::memory_order_acq_rel)) {
      slots = fresh;
    } else {
      delete[] fresh;  // another thread made it first; slots holds its chunk
    }
  }
  return &slots[fd & (ChunkSize - 1)];
}

// The descriptor is closed only when no synchronous call uses it any more.
void closeDescriptorIfUnused(SocketSlot& slot) {
  if (slot.state != SlotState::Closing || slot.users > 0) return;
  ::close(slot.fd);
  slot.state = SlotState::Free;
}

// The library treats handle 0 as "no socket": move such a descriptor up and
// keep 0 occupied, so no later socket lands there either.
int moveOffZero(int fd) {
  if (fd != 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  if (moved < 0) return -1;
  const int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (placeholder >= 0) {
    dup2(placeholder, 0);  // replaces the socket at 0
    ::close(placeholder);
  } else {
    ::close(0);
  }
  return moved;
}

struct ThreadWake {
  int fd = -1;
  ~ThreadWake() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

void OperationQueue::push(Overlapped* operation) {
  operation->nextPending = nullptr;
  if (tail != nullptr)
    tail->nextPending = operation;
  else
    head = operation;
  tail = operation;
}

Overlapped* OperationQueue::pop() {
  Overlapped* first = head;
  if (first != nullptr) {
    head = first->nextPending;
    if (head == nullptr) tail = nullptr;
    first->nextPending = nullptr;
  }
  return first;
}

SocketSlot* findSlot(Socket socket) { return slotAt(socket, false); }

Socket adoptDescriptor(int fd, bool stream, bool icmpDatagram) {
  const int moved = moveOffZero(fd);
  if (moved < 0) {
    const int error = errno;
    ::close(fd);
    setLastSocketErrorFromErrno(error);
    return InvalidSocket;
  }
  SocketSlot* slot = slotAt(moved, true);
  if (slot == nullptr) {
    ::close(moved);
    setLastError(wsa::TooManyOpen);
    return InvalidSocket;
  }
  std::lock_guard<std::mutex> guard(slot->mutex);
  ++slot->generation;
  slot->state = SlotState::Open;
  slot->fd = moved;
  slot->stream = stream;
  slot->icmpDatagram = icmpDatagram;
  slot->nonBlocking.store(false, std::memory_order_relaxed);
  slot->users = 0;
  slot->waiters = nullptr;
  slot->port = nullptr;
  slot->key = 0;
  slot->input = {};
  slot->output = {};
  slot->interest = 0;
  slot->receivesHeld = false;
  return moved;
}

LockedSlot::LockedSlot(Socket socket) {
  SocketSlot* slot = findSlot(socket);
  if (slot != nullptr) {
    guard_ = std::unique_lock<std::mutex>(slot->mutex);
    if (slot->state == SlotState::Open) {
      slot_ = slot;
      return;
    }
    guard_.unlock();
  }
  setLastError(wsa::NotSocket);
}

bool SocketUse::acquire(Socket socket) {
  release();
  LockedSlot slot(socket);
  if (!slot) return false;
  ++slot->users;
  slot_ = &*slot;
  generation_ = slot->generation;
  return true;
}

void SocketUse::release() {
  if (slot_ == nullptr) return;
  std::lock_guard<std::mutex> guard(slot_->mutex);
  if (watching_) {
    for (BlockedWaiter** link = &slot_->waiters; *link != nullptr; link = &(*link)->next) {
      if (*link == &waiter_) {
        *link = waiter_.next;
        break;
      }
    }
    watching_ = false;
  }
  --slot_->users;
  closeDescriptorIfUnused(*slot_);
  slot_ = nullptr;
}

bool SocketUse::stillOpen() const {
  std::lock_guard<std::mutex> guard(slot_->mutex);
  return slot_->state == SlotState::Open && slot_->generation == generation_;
}

bool SocketUse::watchClose(int wakeFd) {
  std::lock_guard<std::mutex> guard(slot_->mutex);
  if (slot_->state != SlotState::Open || slot_->generation != generation_) return false;
  if (!watching_ && wakeFd >= 0) {
    waiter_.wakeFd = wakeFd;
    waiter_.next = slot_->waiters;
    slot_->waiters = &waiter_;
    watching_ = true;
  }
  return true;
}

int threadWakeDescriptor() {
  thread_local ThreadWake wake;
  if (wake.fd < 0) wake.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return wake.fd;
}

void drainWakeDescriptor(int wakeFd) {
  uint64_t count;
  while (read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

void signalWakeDescriptor(int wakeFd) {
  const uint64_t one = 1;
  if (write(wakeFd, &one, sizeof one) < 0) {
    // An eventfd write fails only when its counter is full, and then it is readable anyway.
  }
}

bool waitUntilReady(SocketUse& use, short events) {
  const int wakeFd = threadWakeDescriptor();
  drainWakeDescriptor(wakeFd);
  if (!use.watchClose(wakeFd)) {
    setLastError(wsa::Interrupted);
    return false;
  }
  pollfd fds[2] = {{use.fd(), events, 0}, {wakeFd, POLLIN, 0}};
  // Without a wake descriptor the close is noticed by looking now and then.
  const int sliceMs = wakeFd >= 0 ? -1 : 100;
  for (;;) {
    const int ready = poll(fds, wakeFd >= 0 ? 2 : 1, sliceMs);
    if (ready < 0 && errno != EINTR) {
      setLastSocketErrorFromErrno(errno);
      return false;
    }
    if (!use.stillOpen()) {
      setLastError(wsa::Interrupted);
      return false;
    }
    if (ready > 0 && fds[0].revents != 0) return true;
    if (ready > 0 && fds[1].revents != 0) drainWakeDescriptor(wakeFd);
  }
}

int closeSocket(Socket socket) {
  LockedSlot slot(socket);
  if (!slot) return -1;
  slot->state = SlotState::Closing;
  ++slot->generation;
  if (slot->port != nullptr) abortPortOperations(*slot);
  for (BlockedWaiter* waiter = slot->waiters; waiter != nullptr; waiter = waiter->next)
    signalWakeDescriptor(waiter->wakeFd);
  closeDescriptorIfUnused(*slot);
  return 0;
}

}  // namespace zelkit::platform
