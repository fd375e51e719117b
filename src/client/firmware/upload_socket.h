#pragma once

#include <atomic>
#include <cstdint>

#include "platform/deadline.h"
#include "platform/socket.h"

namespace zelkit::detail {

struct SslContext;

constexpr int UPLOAD_HANDSHAKE_TIMEOUT_MS = 5000;
// Waits are cut into slices this long, so an abort is noticed promptly.
constexpr int UPLOAD_WAIT_SLICE_MS = 50;

// The TCP connection of one upload, plain or inside TLS. Every operation
// ends by its deadline and as soon as the upload is aborted, and none holds
// the library lock while it waits. Failures leave the reason in the
// platform's last error (TimedOut, OperationAborted, or the socket's).
class UploadSocket {
 public:
  explicit UploadSocket(const std::atomic<bool>& abort) : abort_(abort) {}
  ~UploadSocket();
  UploadSocket(const UploadSocket&) = delete;
  UploadSocket& operator=(const UploadSocket&) = delete;

  // 0, or -1 with the socket closed again.
  int connect(const sockaddr_in6& address, int timeoutMs);
  // The client handshake on the connected socket: 0 once established, else
  // the engine's error, SslError::Timeout, or -1 when aborted.
  int startTls(uint64_t peerKey, int timeoutMs);
  const SslContext* tls() const { return tls_; }
  bool aborted() const { return abort_.load(std::memory_order_relaxed); }
  // All of data: length, or -1.
  int send(const void* data, int length, int timeoutMs);
  // What arrives first: the count, 0 when the peer has closed, or -1.
  int recv(void* buffer, int length, const platform::Deadline& deadline);
  // Closes the socket and frees the TLS context.
  void close();

 private:
  enum class Awaiting { Data, Room, Connect };
  // True, with the last error set, when the upload was aborted.
  bool noteAbort() const;
  // Waits one slice for the socket (ready, when given, tells whether it
  // became ready); false when the deadline has passed or the upload was
  // aborted.
  bool waitSlice(Awaiting awaiting, const platform::Deadline& deadline, bool* ready);
  // The connect of the open socket, by its time-out: 0, or -1.
  int awaitConnect(const sockaddr_in6& address, int timeoutMs);
  int sendPlain(const char* data, int length, const platform::Deadline& deadline);
  // The engine's transport: receive what is there, and send all of it by
  // the deadline of the operation under way.
  static int plainRecv(char* buffer, int length, int flags, void* user);
  static int plainSend(char* bytes, int length, int flags, void* user);

  const std::atomic<bool>& abort_;
  platform::Socket socket_ = platform::InvalidSocket;
  SslContext* tls_ = nullptr;
  platform::Deadline engineDeadline_{0};
};

}  // namespace zelkit::detail
