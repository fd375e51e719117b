#pragma once

// Helpers of the media-session tests: a server whose factory records what
// it was asked and makes sessions that report their establishment, and the
// connect request and reply as a raw client writes and reads them (the
// test's own codec, never the library's).

#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "server/media/media_test_util.h"
#include "server/server_test_util.h"
#include "zelkit/rtp_streamer_session.h"
#include "zelkit/server.h"

namespace streamingtest {

using mediatest::Bytes;
using mediatest::Descriptor;

constexpr uint32_t kDisconnectMessage = 0xFF0D0031;

class MediaSession : public zelkit::RtpStreamerSession {
 public:
  using RtpStreamerSession::RtpStreamerSession;
  ~MediaSession() override;
  void onConnectionEstablished() override;
  static int destroyedCount();
  int establishedCount() const;
  bool waitEstablished(std::chrono::milliseconds timeout);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int established_ = 0;
};

// What the factory does with the next requests: accept (0), or refuse with
// this error.
struct FactoryScript {
  std::mutex mutex;
  int refuseWith = 0;
  std::vector<std::vector<zelkit::RtpStreamDescriptor>> requests;

  std::vector<std::vector<zelkit::RtpStreamDescriptor>> recorded() {
    std::lock_guard<std::mutex> guard(mutex);
    return requests;
  }
};
FactoryScript& factoryScript();

class MediaServer : public servertest::TestServer {
 public:
  zelkit::RtpStreamerSession* createRtpStreamerSession(zelkit::ZelSessionRef const& session,
                                                       zelkit::RtpStreamDescriptor* descriptors, int count,
                                                       int& error) override;
};

// A server started on a fresh Zel, HTTP and HTTPS port (the library's
// built-in key and certificate).
struct RunningServer {
  MediaServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
  const uint16_t httpPort = zeltest::freeLoopbackPort();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
  RunningServer();
  std::string zelUrl() const;    // "zelp://u:pw@127.0.0.1:<port>"
  std::string httpUrl() const;   // "http://u:pw@127.0.0.1:<httpPort>"
  std::string httpsUrl() const;  // "https://u:pw@127.0.0.1:<httpsPort>"
};

// A request descriptor as a client writes it: the device sends (direction 0).
Descriptor requestDescriptor(uint8_t media, uint16_t transport, uint16_t port, uint8_t line, uint8_t parameter = 0);

// The connect reply as read by the test: descriptors and, behind each, the
// key of its key items (empty when none).
struct ReplyStream {
  Descriptor descriptor;
  Bytes key;
};
struct ConnectReply {
  uint8_t mode = 0;
  uint32_t sessionId = 0;
  Bytes payload;
  std::vector<ReplyStream> streams;
};
std::optional<ConnectReply> connect(zeltest::RawClient& client, const Bytes& payload, uint16_t num = 0);

// The session of a reply, from the server.
zelkit::RtpStreamerSessionRef sessionOf(zelkit::ZelServer& server, const ConnectReply& reply);

// A logged-in raw client that has the server make sessions.
class SessionMaker {
 public:
  explicit SessionMaker(RunningServer& running);
  // Empty when the connect failed.
  zelkit::RtpStreamerSessionRef make(std::initializer_list<Descriptor> streams);
  zeltest::RawClient& client() { return client_; }

 private:
  RunningServer& running_;
  zeltest::RawClient client_;
};
MediaSession* mediaSession(const zelkit::RtpStreamerSessionRef& session);

// A packet as the key's stream cipher leaves it (the header in the clear):
// applying it again gives the packet back.
Bytes cipherApplied(const Bytes& key, const Bytes& packet);

}  // namespace streamingtest
