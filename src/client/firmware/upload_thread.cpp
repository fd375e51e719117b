#include <cstdarg>
#include <string>

#include "client/firmware/connect_limited.h"
#include "client/firmware/firmware_upload.h"
#include "client/firmware/upload_answer.h"
#include "client/firmware/upload_buffer.h"
#include "client/firmware/upload_request.h"
#include "client/firmware/upload_socket.h"
#include "core/connection/connection.h"
#include "core/engine/lock.h"
#include "core/wire/conversions.h"
#include "core/wire/stream_access.h"
#include "platform/errors.h"
#include "security/tls/ssl_session_cache.h"
#include "security/tls_connection/certificate_checking.h"
#include "zelkit/client.h"

namespace zelkit::detail {

std::atomic<int> uploadStallTimeoutMs{UPLOAD_STALL_TIMEOUT_MS};

namespace {

constexpr char LOG_CATEGORY[] = "fwul";
constexpr int CREDENTIALS_TEXT_SIZE = 1400;  // base64 of up to 1023 characters
constexpr int ADDRESS_TEXT_SIZE = 64;

// The device kind from the first octet of the query's reply; 0 when the
// device does not answer it. The temporary client is gone before the reply
// is read. Nothing is thrown: the exception instances are shared.
int queryDeviceKind(const std::string& url) {
  ZelInputStream reply;
  {
    ZelClient client(url.c_str(), 0, 0);
    client.sendRequest(DEVICE_KIND_QUERY_TIMEOUT_MS, DEVICE_KIND_QUERY, reply);
  }
  int errorCode = 0;
  if (!StreamAccess::awaitReply(reply, &errorCode) || reply.available() < 1) return 0;
  return reply.readOctet();
}

uint64_t peerKeyOf(const sockaddr_in6& address) {
  const uint16_t port = ntohs(address.sin6_port);
  if (address.sin6_family == AF_INET) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&address);
    return sslPeerKey(AF_INET, reinterpret_cast<const uint8_t*>(&ipv4->sin_addr), 4, port);
  }
  return sslPeerKey(AF_INET6, address.sin6_addr.s6_addr, 16, port);
}

// One upload, on its own thread: the device kind, the connect, the form
// posted, the status line read.
class FirmwareUpload {
 public:
  explicit FirmwareUpload(Connection* connection) : connection_(connection), socket_(connection->uploadAbort) {
    GlobalLock lock;
    buffer_ = connection->uploadBuffer;
    url_ = connection->url;
  }

  void run() {
    target_ = uploadTargetFor(queryDeviceKind(url_));
    const bool sent = sendRequest();
    const bool accepted = sent && !socket_.aborted() && readAnswer();
    finish(accepted ? LocalEvent::FirmwareUploadDone : LocalEvent::FirmwareUploadFailed);
  }

 private:
  void log(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    va_list arguments;
    va_start(arguments, format);
    core().vlog(connection_, LOG_CATEGORY, format, arguments);
    va_end(arguments);
  }

  // True when the whole request went out.
  bool sendRequest() {
    sockaddr_in6 address{};
    int result = connectLimited(connection_, socket_, address);
    if (result == 0 && usesTls()) {
      result = socket_.startTls(peerKeyOf(address), UPLOAD_HANDSHAKE_TIMEOUT_MS);
      if (result == 0 && !certificateTrusted()) {
        log("Firmware upload failed: server certificate not trusted");
        return false;
      }
    }
    if (result == 0) {
      const UploadRequest request = buildRequest(address);
      result = send(request.head.data(), request.head.size());
      if (result > 0) result = sendContent(request.partHead);
    }
    if (result < 0) {
      log("Firmware upload failed status=%d error=%d", result, static_cast<int>(platform::lastError()));
      return false;
    }
    return true;
  }

  bool usesTls() const {
    GlobalLock lock;
    return connection_->tls;
  }

  // The upload trusts what its connection trusts: approvals are for the
  // connection's own host and port, also when the upload went to port 80.
  bool certificateTrusted() const {
    // The connection's fields and its TLS context are read under the lock.
    GlobalLock lock;
    return checkServerCertificate(socket_.tls(), connection_->host, connection_->port(), connection_->ssl);
  }

  UploadRequest buildRequest(const sockaddr_in6& address) const {
    char host[ADDRESS_TEXT_SIZE];
    addressToText(reinterpret_cast<const sockaddr*>(&address), host, sizeof host);
    char credentials[CREDENTIALS_TEXT_SIZE] = {};
    GlobalLock lock;
    const bool authorize = connection_->password[0] != '\0';
    if (authorize) encodeBasicCredentials(connection_->user, connection_->password, credentials, sizeof credentials);
    return buildUploadRequest(target_, host, authorize ? credentials : nullptr, buffer_->name, buffer_->size);
  }

  // The part head, the file and the closing boundary: positive, or -1.
  int sendContent(const std::string& partHead) {
    if (send(partHead.data(), partHead.size()) < 0) return -1;
    for (uint64_t offset = 0; offset < buffer_->size; offset += UPLOAD_CHUNK_SIZE) {
      const uint64_t left = buffer_->size - offset;
      const int piece = left < UPLOAD_CHUNK_SIZE ? static_cast<int>(left) : UPLOAD_CHUNK_SIZE;
      const uint8_t* data = buffer_->data + offset;
      if (!buffer_->isWhole()) {
        if (!readUploadChunk(buffer_, piece)) return -1;
        data = buffer_->data;
      }
      if (send(data, static_cast<std::size_t>(piece)) < 0) return -1;
    }
    return send(UPLOAD_CLOSING_BOUNDARY, UPLOAD_CLOSING_BOUNDARY_LENGTH);
  }

  int send(const void* data, std::size_t length) {
    return socket_.send(data, static_cast<int>(length), uploadStallTimeoutMs.load(std::memory_order_relaxed));
  }

  // True for a status line "HTTP/x.y 200".
  bool readAnswer() {
    const int timeoutMs = uploadStallTimeoutMs.load(std::memory_order_relaxed);
    const platform::Deadline deadline(timeoutMs);
    char answer[UPLOAD_ANSWER_MAX];
    int filled = 0;
    for (;;) {
      const int received = socket_.recv(answer + filled, UPLOAD_ANSWER_MAX - filled, deadline);
      if (received < 0) {
        if (socket_.aborted()) return false;
        const auto error = platform::lastError();
        if (error == platform::wsa::TimedOut)
          log("Firmware upload failed: no answer within %d ms", timeoutMs);
        else
          log("Firmware upload failed: answer not received error=%d", static_cast<int>(error));
        return false;
      }
      if (received == 0) {
        log("Firmware upload failed: answer ended after %d bytes", filled);
        return false;
      }
      filled += received;
      const UploadAnswer verdict = readUploadAnswer(answer, filled);
      switch (verdict.verdict) {
        case UploadVerdict::Incomplete:
          continue;
        case UploadVerdict::Accepted:
          return true;
        case UploadVerdict::Refused:
          log("Firmware upload failed status=%s", verdict.code);
          return false;
        case UploadVerdict::Malformed:
          log("Firmware upload failed: malformed status line");
          return false;
        case UploadVerdict::TooLong:
          log("Firmware upload failed: no status line in %d bytes", UPLOAD_ANSWER_MAX);
          return false;
      }
    }
  }

  // The thread's own buffer and socket go first; then the outcome and the
  // end of the upload are set at once, so that the next upload may start
  // as soon as the outcome is seen.
  void finish(uint32_t outcome) {
    socket_.close();
    releaseUploadBuffer(buffer_);
    GlobalLock lock;
    connection_->pendingEventCode = outcome;
    connection_->uploadBuffer = nullptr;
    connection_->uploadRunning = false;
  }

  Connection* connection_;
  UploadSocket socket_;
  FwUploadBuffer* buffer_ = nullptr;
  std::string url_;
  UploadTarget target_{};
};

}  // namespace

void Connection::firmwareUploadThread(void* connection) { FirmwareUpload(static_cast<Connection*>(connection)).run(); }

}  // namespace zelkit::detail
