#include "support/test_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/external_md5.h"

namespace zeltest {

namespace {

constexpr size_t kMaxHttpHead = 8192;
constexpr std::string_view kMediaTunnelPrefix = "GET /media_tunnel/";
constexpr milliseconds kBytePause{2};
constexpr milliseconds kSplitPause{20};

[[noreturn]] void throwSystemError(const std::string& what) {
  throw std::runtime_error("test device: " + what + ": " + std::strerror(errno));
}

bool sendAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The challenge as the client reads it: up to the first zero byte, at most 16.
std::string challengeText(const Bytes& challenge) {
  std::string text;
  for (size_t i = 0; i < challenge.size() && i < 16 && challenge[i] != 0; ++i) {
    text.push_back(static_cast<char>(challenge[i]));
  }
  return text;
}

// Drops the connection with a reset (the unsent bytes go too) and leaves
// the descriptor open, so no other thread of the device can write to a
// reused number.
void abortConnection(int fd) {
  sockaddr unspecified{};
  unspecified.sa_family = AF_UNSPEC;
  ::connect(fd, &unspecified, sizeof unspecified);
}

void applyFault(Fault fault, Bytes& frame) {
  switch (fault) {
    case Fault::None:
    case Fault::CloseMidFrame:
      break;
    case Fault::BadVersion:
      frame[0] = 4;
      break;
    case Fault::LengthBelow20:
      frame.resize(16);
      frame[2] = 0;
      frame[3] = 16;
      break;
    case Fault::PayloadLengthPastFrame: {
      frame[8] |= kValueTableFollows;
      const uint16_t pastEnd = static_cast<uint16_t>(frame.size() - kFrameHeaderSize + 1);
      frame[18] = static_cast<uint8_t>(pastEnd >> 8);
      frame[19] = static_cast<uint8_t>(pastEnd);
      break;
    }
  }
}

}  // namespace

Rule Rule::reply(Bytes payload) {
  Rule rule;
  rule.payload = std::move(payload);
  return rule;
}

Rule Rule::echo() {
  Rule rule;
  rule.action = Action::Echo;
  return rule;
}

Rule Rule::error(uint16_t code) {
  Rule rule;
  rule.action = Action::ErrorReply;
  rule.errorCode = code;
  return rule;
}

Rule Rule::silent() {
  Rule rule;
  rule.action = Action::Silent;
  return rule;
}

Rule Rule::close() {
  Rule rule;
  rule.action = Action::Close;
  return rule;
}

Rule Rule::reset() {
  Rule rule;
  rule.action = Action::Reset;
  return rule;
}

struct TestDevice::Outgoing {
  Clock::time_point due;
  Bytes bytes;
  WriteStyle style = WriteStyle::Whole;
  bool closeAfter = false;
  bool resetAfter = false;
};

struct TestDevice::Connection {
  enum class Phase { Start, HttpHead, Frames, Media };

  int index = 0;
  int fd = -1;  // open until the device is destroyed; shut down to close
  std::thread thread;
  std::mutex writeMutex;  // one frame at a time on the socket

  // Guarded by the device's mutex.
  bool open = true;
  uint16_t clientId = 0;
  std::optional<TunnelRequest> tunnel;
  std::optional<std::string> mediaTunnel;
  std::vector<Bytes> mediaPackets;

  // Used by the serving thread only.
  Phase phase = Phase::Start;
  Bytes inbox;
  Bytes joinedPayload;                  // of a fragmented request, until its last frame
  std::map<uint32_t, int> answered;     // requests per tag, for Rule::resetAfter
  std::vector<Outgoing> scheduled;  // ordered by due time
};

TestDevice::TestDevice(std::string address, uint16_t port) : address_(std::move(address)), requestedPort_(port) {}

TestDevice::~TestDevice() {
  stop();
  for (auto& connection : connections_) ::close(connection->fd);
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void TestDevice::start() {
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_port = htons(requestedPort_);
  if (::inet_pton(AF_INET, address_.c_str(), &bound.sin_addr) != 1) {
    throw std::runtime_error("test device: not an IPv4 address: " + address_);
  }
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
  if (wakeFd_ < 0) throwSystemError("eventfd");
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throwSystemError("socket");
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) throwSystemError("bind " + address_);
  if (::listen(listenFd_, 16) != 0) throwSystemError("listen");
  socklen_t length = sizeof bound;
  if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) throwSystemError("getsockname");
  port_ = ntohs(bound.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

void TestDevice::stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  if (wakeFd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
  }
  if (acceptThread_.joinable()) acceptThread_.join();
  // No connection is added once the accept thread has ended.
  for (auto& connection : connections_) {
    ::shutdown(connection->fd, SHUT_RDWR);
    if (connection->thread.joinable()) connection->thread.join();
  }
}

uint16_t TestDevice::port() const { return port_; }

std::string TestDevice::endpoint() const { return address_ + ":" + std::to_string(port_); }

void TestDevice::addAccount(const std::string& user, const std::string& password) {
  std::lock_guard lock(mutex_);
  accounts_[user] = password;
}

void TestDevice::setLoginRules(const LoginRules& rules) {
  std::lock_guard lock(mutex_);
  loginRules_ = rules;
}

void TestDevice::setRule(uint32_t tag, const Rule& rule) {
  std::lock_guard lock(mutex_);
  rules_[tag] = rule;
}

void TestDevice::clearRule(uint32_t tag) {
  std::lock_guard lock(mutex_);
  rules_.erase(tag);
}

void TestDevice::setDefaultRule(const Rule& rule) {
  std::lock_guard lock(mutex_);
  defaultRule_ = rule;
}

void TestDevice::setWriteStyle(WriteStyle style) {
  std::lock_guard lock(mutex_);
  writeStyle_ = style;
}

void TestDevice::setSilent(bool silent) {
  std::lock_guard lock(mutex_);
  silent_ = silent;
}

void TestDevice::setRecordPayloads(bool record) {
  std::lock_guard lock(mutex_);
  recordPayloads_ = record;
}

void TestDevice::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    auto connection = std::make_unique<Connection>();
    connection->index = static_cast<int>(connections_.size());
    connection->fd = fd;
    Connection& served = *connection;
    connections_.push_back(std::move(connection));
    served.thread = std::thread([this, &served] { serve(served); });
    changed_.notify_all();
  }
}

void TestDevice::serve(Connection& connection) {
  for (;;) {
    // Send what is due, in order.
    bool closing = false;
    const auto now = Clock::now();
    while (!connection.scheduled.empty() && connection.scheduled.front().due <= now) {
      Outgoing item = std::move(connection.scheduled.front());
      connection.scheduled.erase(connection.scheduled.begin());
      if (!item.bytes.empty() && !write(connection, item.bytes, item.style)) closing = true;
      if (item.resetAfter) abortConnection(connection.fd);
      if (item.closeAfter || item.resetAfter) closing = true;
      if (closing) break;
    }
    if (closing) break;

    int timeout = -1;
    if (!connection.scheduled.empty()) {
      const auto wait = std::chrono::ceil<milliseconds>(connection.scheduled.front().due - Clock::now());
      timeout = static_cast<int>(std::max<milliseconds::rep>(0, wait.count()));
    }
    pollfd fds[2] = {{connection.fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(fds, 2, timeout) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0 && !readInput(connection)) break;
  }
  ::shutdown(connection.fd, SHUT_RDWR);
  {
    std::lock_guard lock(mutex_);
    connection.open = false;
  }
  changed_.notify_all();
}

bool TestDevice::readInput(Connection& connection) {
  uint8_t buffer[65536];
  const ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  connection.inbox.insert(connection.inbox.end(), buffer, buffer + n);
  return handleInput(connection);
}

bool TestDevice::handleInput(Connection& connection) {
  for (;;) {
    Bytes& inbox = connection.inbox;
    if (connection.phase == Connection::Phase::Start) {
      if (inbox.empty()) return true;
      connection.phase = inbox[0] == 'G' ? Connection::Phase::HttpHead : Connection::Phase::Frames;
    }
    if (connection.phase == Connection::Phase::HttpHead) {
      constexpr std::string_view blankLine = "\r\n\r\n";
      const auto end = std::search(inbox.begin(), inbox.end(), blankLine.begin(), blankLine.end());
      if (end == inbox.end()) {
        if (inbox.size() <= kMaxHttpHead) return true;
        recordError(connection.index, "HTTP head without end");
        return false;
      }
      const std::string head(inbox.begin(), end + static_cast<std::ptrdiff_t>(blankLine.size()));
      inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(head.size()));
      if (head.starts_with(kMediaTunnelPrefix)) {
        {
          std::lock_guard lock(mutex_);
          connection.mediaTunnel = head;
        }
        changed_.notify_all();
        connection.phase = Connection::Phase::Media;
        continue;
      }
      std::string error;
      auto tunnel = parseTunnelRequest(head, error);
      if (!tunnel) {
        recordError(connection.index, error);
        return false;
      }
      {
        std::lock_guard lock(mutex_);
        connection.tunnel = std::move(tunnel);
      }
      changed_.notify_all();
      connection.phase = Connection::Phase::Frames;
      continue;
    }
    if (connection.phase == Connection::Phase::Media) return handleMediaInput(connection);

    if (inbox.size() < kTpktHeaderSize) return true;
    const TpktCheck check = checkTpktHeader(std::span<const uint8_t, kTpktHeaderSize>(inbox.data(), kTpktHeaderSize));
    if (!check.error.empty()) {
      recordError(connection.index, check.error);
      return false;
    }
    if (inbox.size() < check.frameLength) return true;
    std::string error;
    auto frame = decodeFrame(std::span<const uint8_t>(inbox.data(), check.frameLength), error);
    if (!frame) {
      recordError(connection.index, error);
      return false;
    }
    RecordedFrame recorded;
    static_cast<Frame&>(recorded) = std::move(*frame);
    recorded.connection = connection.index;
    recorded.time = Clock::now();
    recorded.bytes.assign(inbox.begin(), inbox.begin() + check.frameLength);
    inbox.erase(inbox.begin(), inbox.begin() + check.frameLength);
    const bool isRequest = recorded.header.mode() == kModeRequest;
    if (isRequest)
      connection.joinedPayload.insert(connection.joinedPayload.end(), recorded.payload.begin(), recorded.payload.end());
    {
      std::lock_guard lock(mutex_);
      if (recordPayloads_) {
        frames_.push_back(recorded);
      } else {
        RecordedFrame headerOnly = recorded;
        headerOnly.payload.clear();
        headerOnly.bytes.clear();
        frames_.push_back(std::move(headerOnly));
      }
    }
    changed_.notify_all();

    // Only the last frame of a request is answered.
    if (!isRequest || recorded.header.moreFragments()) continue;
    const Bytes payload = std::move(connection.joinedPayload);
    connection.joinedPayload.clear();
    std::vector<Outgoing> out;
    answer(connection, recorded, payload, out);
    for (auto& item : out) {
      const auto position = std::upper_bound(connection.scheduled.begin(), connection.scheduled.end(), item.due,
                                             [](Clock::time_point due, const Outgoing& other) { return due < other.due; });
      connection.scheduled.insert(position, std::move(item));
    }
  }
}

// Media frames: 03 00, a 16-bit length that counts these 4 bytes, the packet.
bool TestDevice::handleMediaInput(Connection& connection) {
  Bytes& inbox = connection.inbox;
  while (inbox.size() >= kTpktHeaderSize) {
    const size_t length = readU16(inbox.data() + 2);
    if (length < kTpktHeaderSize) {
      recordError(connection.index, "media frame length below 4");
      return false;
    }
    if (inbox.size() < length) return true;
    {
      std::lock_guard lock(mutex_);
      connection.mediaPackets.emplace_back(inbox.begin() + kTpktHeaderSize,
                                           inbox.begin() + static_cast<std::ptrdiff_t>(length));
    }
    changed_.notify_all();
    inbox.erase(inbox.begin(), inbox.begin() + static_cast<std::ptrdiff_t>(length));
  }
  return true;
}

void TestDevice::answer(Connection& connection, const RecordedFrame& request, const Bytes& payload,
                        std::vector<Outgoing>& out) {
  const uint32_t tag = request.header.tag;
  if (tag == kTagRegister) answerRegister(connection, request, out);

  std::optional<Rule> rule;
  LoginRules login;
  {
    std::lock_guard lock(mutex_);
    if (silent_) return;
    if (const auto found = rules_.find(tag); found != rules_.end()) rule = found->second;
    login = loginRules_;
    if (!rule) {
      switch (tag) {
        case kTagRegister:
        case kTagKeepAliveAnswer:
          return;  // answered above, or an answer itself
        case kTagRequestChallenge:
          rule = login.challengeSupported ? Rule::reply(login.challenge) : Rule::error(0x40);
          break;
        case kTagLiveCheck:
          rule = Rule::reply();
          break;
        default:
          rule = defaultRule_;
      }
    }
  }
  if (rule->resetAfter >= 0 && connection.answered[tag]++ >= rule->resetAfter) rule = Rule::reset();
  addReply(request, *rule, payload, out);
}

void TestDevice::answerRegister(Connection& connection, const RecordedFrame& request, std::vector<Outgoing>& out) {
  Registration registration;
  registration.connection = connection.index;
  std::string error;
  const auto parsed = parseRegisterRequest(request.payload, error);
  if (!parsed) recordError(connection.index, error);

  LoginRules login;
  std::map<std::string, std::string> accounts;
  {
    std::lock_guard lock(mutex_);
    login = loginRules_;
    accounts = accounts_;
  }
  if (parsed) {
    registration.request = *parsed;
    const RegisterRequest& r = *parsed;
    const std::string& text = r.text;
    if (r.kind == kRegisterNoCredentials) {
      registration.outcome = Registration::Outcome::MessageIdUpdate;
    } else if ((r.kind & 0xFFFF0000) == kRegisterHookOn) {
      registration.user = "HookOn" + std::to_string(r.kind & 0xFFFF);
      if (login.acceptHookOn) registration.outcome = Registration::Outcome::Accepted;
    } else if (r.kind == kRegisterCredentials && text.size() >= 2 && text.front() == '+' && text.back() == '+') {
      const std::string inner = text.substr(1, text.size() - 2);
      registration.user = inner.substr(0, inner.find(':'));
      registration.challengeResponse = r.lengthField >= 256;
      const auto account = accounts.find(registration.user);
      if (registration.challengeResponse) {
        registration.digest = inner.substr(inner.rfind(':') + 1);
        if (account != accounts.end()) {
          const std::string challenge = challengeText(login.challenge);
          const std::string expected = "+" + registration.user + ":" + challenge + ":" +
                                       expectedLoginDigest(challenge, registration.user, account->second) + "+";
          if (text == expected) registration.outcome = Registration::Outcome::Accepted;
        }
      } else {
        const size_t colon = inner.find(':');
        if (colon != std::string::npos) registration.password = inner.substr(colon + 1);
        if (account != accounts.end() && colon != std::string::npos && account->second == registration.password) {
          registration.outcome = Registration::Outcome::Accepted;
        }
      }
    } else {
      recordError(connection.index, "register kind or text not understood");
    }
  }

  bool silent = false;
  bool ruled = false;
  {
    std::lock_guard lock(mutex_);
    if (registration.outcome == Registration::Outcome::Accepted) connection.clientId = login.clientId;
    registrations_.push_back(registration);
    silent = silent_;
    ruled = rules_.contains(kTagRegister);
  }
  changed_.notify_all();
  if (silent || ruled) return;
  if (registration.outcome == Registration::Outcome::Refused) {
    addReply(request, Rule::error(login.refusalCode), {}, out);
  } else {
    addReply(request, Rule::reply({login.result, login.privilegeLevel, static_cast<uint8_t>(login.clientId >> 8),
                                   static_cast<uint8_t>(login.clientId)}),
             {}, out);
  }
}

void TestDevice::addReply(const RecordedFrame& request, const Rule& rule, const Bytes& requestPayload,
                          std::vector<Outgoing>& out) {
  WriteStyle style;
  {
    std::lock_guard lock(mutex_);
    style = rule.writeStyle.value_or(writeStyle_);
  }
  const auto due = Clock::now() + rule.delay;
  switch (rule.action) {
    case Rule::Action::Silent:
      return;
    case Rule::Action::Close:
      out.push_back({due, {}, style, true, false});
      return;
    case Rule::Action::Reset:
      out.push_back({due, {}, style, false, true});
      return;
    case Rule::Action::Reply:
    case Rule::Action::Echo:
    case Rule::Action::ErrorReply:
      break;
  }
  FrameHeader header = request.header;
  const bool isError = rule.action == Rule::Action::ErrorReply;
  header.modeByte = rule.modeByte.value_or(isError ? kModeErrorReply : kModeReply);
  const Bytes payload = isError                               ? errorReplyPayload(rule.errorCode)
                        : rule.action == Rule::Action::Echo ? requestPayload
                                                            : rule.payload;
  std::vector<Bytes> frames;
  if (rule.valueTable.empty()) {
    frames = encodeFragments(header, payload, rule.fragmentSize);
  } else {
    frames.push_back(encodeFrame(header, payload, rule.valueTable));
  }
  applyFault(rule.fault, frames.front());
  if (rule.fault == Fault::CloseMidFrame) {
    frames.front().resize(frames.front().size() / 2);
    out.push_back({due, std::move(frames.front()), style, true, false});
    return;
  }
  for (auto& frame : frames) out.push_back({due, std::move(frame), style, false, false});
}

bool TestDevice::write(Connection& connection, const Bytes& bytes, WriteStyle style) {
  std::lock_guard lock(connection.writeMutex);
  switch (style) {
    case WriteStyle::Whole:
      return sendAll(connection.fd, bytes.data(), bytes.size());
    case WriteStyle::ByteByByte:
      for (size_t i = 0; i < bytes.size(); ++i) {
        if (!sendAll(connection.fd, bytes.data() + i, 1)) return false;
        if (i + 1 < bytes.size() && !pause(kBytePause)) return false;
      }
      return true;
    case WriteStyle::SplitHeader: {
      const size_t first = std::min<size_t>(2, bytes.size());
      if (!sendAll(connection.fd, bytes.data(), first)) return false;
      if (first == bytes.size()) return true;
      return pause(kSplitPause) && sendAll(connection.fd, bytes.data() + first, bytes.size() - first);
    }
  }
  return false;
}

bool TestDevice::pause(milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, duration, [this] { return stopping_; });
}

bool TestDevice::pushMessage(int connection, uint32_t tag, uint8_t sequence, const Bytes& payload) {
  FrameHeader header;
  header.tag = tag;
  header.modeByte = kModeMessage;
  header.transactionId = sequence;
  {
    std::lock_guard lock(mutex_);
    const Connection* target = find(connection);
    if (target == nullptr) return false;
    header.clientId = target->clientId;
  }
  for (const Bytes& frame : encodeFragments(header, payload)) {
    if (!sendRaw(connection, frame)) return false;
  }
  return true;
}

bool TestDevice::sendKeepAlive(int connection, uint8_t sequence) {
  return pushMessage(connection, kTagKeepAliveMessage, sequence);
}

bool TestDevice::reply(const RecordedFrame& request, const Bytes& payload, uint8_t mode,
                       std::optional<uint32_t> sessionId) {
  FrameHeader header = request.header;
  header.modeByte = mode;
  if (sessionId) header.sessionId = *sessionId;
  for (const Bytes& frame : encodeFragments(header, payload)) {
    if (!sendRaw(request.connection, frame)) return false;
  }
  return true;
}

bool TestDevice::sendRaw(int connection, const Bytes& bytes, std::optional<WriteStyle> style) {
  Connection* target;
  WriteStyle chosen;
  {
    std::lock_guard lock(mutex_);
    target = find(connection);
    if (target == nullptr || !target->open) return false;
    chosen = style.value_or(writeStyle_);
  }
  return write(*target, bytes, chosen);
}

void TestDevice::closeConnection(int connection) {
  std::lock_guard lock(mutex_);
  if (const Connection* target = find(connection)) ::shutdown(target->fd, SHUT_RDWR);
}

TestDevice::Connection* TestDevice::find(int connection) const {
  if (connection < 0 || connection >= static_cast<int>(connections_.size())) return nullptr;
  return connections_[static_cast<size_t>(connection)].get();
}

void TestDevice::recordError(int connection, const std::string& error) {
  {
    std::lock_guard lock(mutex_);
    protocolErrors_.push_back("connection " + std::to_string(connection) + ": " + error);
  }
  changed_.notify_all();
}

int TestDevice::connectionCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(connections_.size());
}

bool TestDevice::isOpen(int connection) const {
  std::lock_guard lock(mutex_);
  const Connection* target = find(connection);
  return target != nullptr && target->open;
}

std::optional<TunnelRequest> TestDevice::tunnelRequest(int connection) const {
  std::lock_guard lock(mutex_);
  const Connection* target = find(connection);
  return target == nullptr ? std::nullopt : target->tunnel;
}

std::optional<std::string> TestDevice::mediaTunnelRequest(int connection) const {
  std::lock_guard lock(mutex_);
  const Connection* target = find(connection);
  return target == nullptr ? std::nullopt : target->mediaTunnel;
}

std::vector<Bytes> TestDevice::mediaPackets(int connection) const {
  std::lock_guard lock(mutex_);
  const Connection* target = find(connection);
  return target == nullptr ? std::vector<Bytes>{} : target->mediaPackets;
}

std::vector<RecordedFrame> TestDevice::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::vector<RecordedFrame> TestDevice::framesWithTag(uint32_t tag) const {
  std::lock_guard lock(mutex_);
  std::vector<RecordedFrame> matching;
  std::copy_if(frames_.begin(), frames_.end(), std::back_inserter(matching),
               [tag](const RecordedFrame& frame) { return frame.header.tag == tag; });
  return matching;
}

std::vector<Registration> TestDevice::registrations() const {
  std::lock_guard lock(mutex_);
  return registrations_;
}

std::vector<std::string> TestDevice::protocolErrors() const {
  std::lock_guard lock(mutex_);
  return protocolErrors_;
}

template <typename Predicate>
bool TestDevice::waitUntil(milliseconds timeout, Predicate ready) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, ready);
}

std::optional<RecordedFrame> TestDevice::waitForFrame(const std::function<bool(const RecordedFrame&)>& match,
                                                      milliseconds timeout, size_t fromIndex) {
  std::optional<RecordedFrame> found;
  size_t next = fromIndex;
  waitUntil(timeout, [&] {
    for (; next < frames_.size(); ++next) {
      if (match(frames_[next])) {
        found = frames_[next];
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<RecordedFrame> TestDevice::waitForTag(uint32_t tag, milliseconds timeout, size_t fromIndex) {
  return waitForFrame([tag](const RecordedFrame& frame) { return frame.header.tag == tag; }, timeout, fromIndex);
}

bool TestDevice::waitForFrameCount(size_t count, milliseconds timeout) {
  return waitUntil(timeout, [&] { return frames_.size() >= count; });
}

std::optional<Registration> TestDevice::waitForRegistration(milliseconds timeout, size_t fromIndex) {
  std::optional<Registration> found;
  waitUntil(timeout, [&] {
    if (registrations_.size() <= fromIndex) return false;
    found = registrations_[fromIndex];
    return true;
  });
  return found;
}

bool TestDevice::waitForConnectionCount(int count, milliseconds timeout) {
  return waitUntil(timeout, [&] { return static_cast<int>(connections_.size()) >= count; });
}

std::optional<int> TestDevice::waitForMediaTunnel(milliseconds timeout, int fromConnection) {
  std::optional<int> found;
  waitUntil(timeout, [&] {
    for (int i = std::max(fromConnection, 0); i < static_cast<int>(connections_.size()); ++i) {
      if (connections_[static_cast<size_t>(i)]->mediaTunnel) {
        found = i;
        return true;
      }
    }
    return false;
  });
  return found;
}

bool TestDevice::waitForMediaPacketCount(int connection, size_t count, milliseconds timeout) {
  return waitUntil(timeout, [&] {
    const Connection* target = find(connection);
    return target != nullptr && target->mediaPackets.size() >= count;
  });
}

bool TestDevice::waitForClosed(int connection, milliseconds timeout) {
  return waitUntil(timeout, [&] {
    const Connection* target = find(connection);
    return target != nullptr && !target->open;
  });
}

}  // namespace zeltest
