// select() over up to 64 sockets per set, built on poll so that descriptor
// numbers have no upper limit.
#include <cerrno>

#include <poll.h>

#include "platform/deadline.h"
#include "platform/errors.h"
#include "platform/socket.h"
#include "platform/socket_table.h"

namespace zelkit::platform {

int selectSockets(const Socket* readSockets, int readCount, bool* readReady, const Socket* writeSockets,
                  int writeCount, bool* writeReady, int timeoutMs) {
  if (readCount < 0 || writeCount < 0 || readCount > SelectMaxSockets || writeCount > SelectMaxSockets ||
      readCount + writeCount == 0) {
    setLastError(wsa::Invalid);
    return -1;
  }
  const int total = readCount + writeCount;
  SocketUse uses[2 * SelectMaxSockets];
  pollfd fds[2 * SelectMaxSockets + 1];
  // A wake left over from an earlier call costs one more round of the loop
  // below, which drains it; draining it here would cost a call every time.
  const int wakeFd = threadWakeDescriptor();
  for (int i = 0; i < total; ++i) {
    const bool reading = i < readCount;
    if (!uses[i].acquire(reading ? readSockets[i] : writeSockets[i - readCount])) return -1;
    uses[i].watchClose(wakeFd);
    fds[i] = {uses[i].fd(), static_cast<short>(reading ? POLLIN : POLLOUT), 0};
    (reading ? readReady[i] : writeReady[i - readCount]) = false;
  }
  fds[total] = {wakeFd, POLLIN, 0};
  const int watched = wakeFd >= 0 ? total + 1 : total;
  const Deadline deadline(timeoutMs);
  for (;;) {
    // Without a wake descriptor a close is noticed by looking now and then.
    int waitMs = deadline.remainingMs();
    if (wakeFd < 0 && (waitMs < 0 || waitMs > 100)) waitMs = 100;
    const int polled = poll(fds, static_cast<nfds_t>(watched), waitMs);
    if (polled < 0 && errno != EINTR) {
      setLastSocketErrorFromErrno(errno);
      return -1;
    }
    int ready = 0;
    for (int i = 0; i < total; ++i) {
      const bool reading = i < readCount;
      const short events = fds[i].revents;
      bool isReady;
      if (!uses[i].stillOpen()) {
        isReady = true;  // closed under the wait: the caller's next call on it fails
      } else if (reading) {
        // End of stream, a reset and a pending accept all count as readable.
        isReady = (events & (POLLIN | POLLERR | POLLHUP)) != 0;
      } else {
        // As on Windows, a failed connect is not writable; stop watching it,
        // or poll would report its error again at once.
        isReady = (events & POLLOUT) != 0 && (events & POLLERR) == 0;
        if ((events & POLLERR) != 0) fds[i].fd = -1;
      }
      (reading ? readReady[i] : writeReady[i - readCount]) = isReady;
      if (isReady) ++ready;
    }
    if (ready > 0) return ready;
    if (deadline.remainingMs() == 0) return 0;
    if (wakeFd >= 0 && fds[total].revents != 0) drainWakeDescriptor(wakeFd);
  }
}

int selectReadable(const Socket* sockets, int count, bool* ready, int timeoutMs) {
  return selectSockets(sockets, count, ready, nullptr, 0, nullptr, timeoutMs);
}

}  // namespace zelkit::platform
