#include "server/streaming/streaming_test_util.h"

#include <atomic>
#include <memory>

#include "security/cipher/crypt.h"

namespace streamingtest {

namespace {
std::atomic<int> destroyed{0};
}  // namespace

MediaSession::~MediaSession() { ++destroyed; }

int MediaSession::destroyedCount() { return destroyed.load(); }

void MediaSession::onConnectionEstablished() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++established_;
  changed_.notify_all();
}

int MediaSession::establishedCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return established_;
}

bool MediaSession::waitEstablished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return established_ > 0; });
}

FactoryScript& factoryScript() {
  static FactoryScript* const script = new FactoryScript();
  return *script;
}

zelkit::RtpStreamerSession* MediaServer::createRtpStreamerSession(zelkit::ZelSessionRef const&,
                                                                  zelkit::RtpStreamDescriptor* descriptors, int count,
                                                                  int& error) {
  FactoryScript& script = factoryScript();
  std::lock_guard<std::mutex> guard(script.mutex);
  script.requests.emplace_back(descriptors, descriptors + count);
  if (script.refuseWith != 0) {
    error = script.refuseWith;
    return nullptr;
  }
  return new MediaSession(descriptors, count);
}

RunningServer::RunningServer() {
  server.bindHttpPort(httpPort, false, nullptr);
  server.bindHttpPort(httpsPort, true, nullptr);
  server.start(port);
}

std::string RunningServer::zelUrl() const { return "zelp://u:pw@127.0.0.1:" + std::to_string(port); }

std::string RunningServer::httpUrl() const { return "http://u:pw@127.0.0.1:" + std::to_string(httpPort); }

std::string RunningServer::httpsUrl() const { return "https://u:pw@127.0.0.1:" + std::to_string(httpsPort); }

Descriptor requestDescriptor(uint8_t media, uint16_t transport, uint16_t port, uint8_t line, uint8_t parameter) {
  Descriptor d;
  d.media = media;
  d.status = 0;
  d.transport = transport;
  d.port = port;
  d.line = line;
  d.parameter = parameter;
  return d;
}

std::optional<ConnectReply> connect(zeltest::RawClient& client, const Bytes& payload, uint16_t num) {
  const auto frame = client.call(servertest::kCmdConnectPrimitive, payload, 0, num);
  if (!frame) return std::nullopt;
  ConnectReply reply;
  reply.mode = frame->header.mode();
  reply.sessionId = frame->header.sessionId;
  reply.payload = frame->payload;
  const Bytes& bytes = frame->payload;
  size_t at = 0;
  while (reply.mode == zeltest::kModeReply && at + 8 <= bytes.size()) {
    if (bytes[at] == 0xE0) {
      if (bytes[at + 1] == 0x04 && !reply.streams.empty())
        reply.streams.back().key.insert(reply.streams.back().key.end(), bytes.begin() + at + 4, bytes.begin() + at + 8);
      at += 8;
      continue;
    }
    if (at + 32 > bytes.size()) break;
    reply.streams.push_back({mediatest::decodeDescriptor(bytes.data() + at), {}});
    at += 32;
  }
  return reply;
}

zelkit::RtpStreamerSessionRef sessionOf(zelkit::ZelServer& server, const ConnectReply& reply) {
  return server.getStreamerSession(reply.sessionId);
}

SessionMaker::SessionMaker(RunningServer& running) : running_(running), client_(running.port) {
  servertest::rawLogin(client_, 2);
}

zelkit::RtpStreamerSessionRef SessionMaker::make(std::initializer_list<Descriptor> streams) {
  Bytes payload;
  for (const Descriptor& d : streams) payload = mediatest::join({payload, mediatest::encodeDescriptor(d)});
  const auto reply = connect(client_, payload);
  if (!reply || reply->mode != zeltest::kModeReply) return {};
  return sessionOf(running_.server, *reply);
}

MediaSession* mediaSession(const zelkit::RtpStreamerSessionRef& session) {
  return dynamic_cast<MediaSession*>(session.get());
}

Bytes cipherApplied(const Bytes& key, const Bytes& packet) {
  std::unique_ptr<C_Cryptlfc> cipher(zelkit::detail::createCrypt(zelkit::detail::CryptAes));
  cipher->setRtpMasterKey(key.data());
  Bytes out = packet;
  cipher->decryptRtp(out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

}  // namespace streamingtest
