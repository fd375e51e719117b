#pragma once

// A scriptable Zel device for tests and demos: plain blocking sockets, one
// thread per accepted connection, its own framing code (wire_codec.h).
//
//   zeltest::TestDevice device;              // or TestDevice("127.0.0.2")
//   device.addAccount("user", "pw");
//   device.setRule(0x0A370C31, zeltest::Rule::reply({1, 2}));
//   device.start();
//   ... connect to device.endpoint() ...
//   auto frame = device.waitForTag(0x0A370C31, 5s);
//   device.stop();                           // also done by the destructor
//
// A connection that opens with "GET /media_tunnel/" is a media connection:
// its request head is kept, and from then on it carries TPKT-framed RTP and
// RTCP packets both ways (mediaPackets, sendRaw).
//
// Every method may be called from any thread; rules changed while a test
// runs apply to the next request that arrives.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/wire_codec.h"

namespace zeltest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How the device puts a frame on the socket.
enum class WriteStyle {
  Whole,        // one send
  ByteByByte,   // one send per byte, with a short pause between them
  SplitHeader,  // the first two TPKT bytes, a pause, then the rest
};

// Damage done to a reply frame.
enum class Fault {
  None,
  BadVersion,              // first byte 4 instead of 3
  LengthBelow20,           // TPKT length 16, and only 16 bytes sent
  PayloadLengthPastFrame,  // bit 0x40 with a payload-length field beyond the frame
  CloseMidFrame,           // the first half of the frame, then the connection is closed
};

// What the device does with a request of one command word.
struct Rule {
  enum class Action { Reply, Echo, ErrorReply, Silent, Close, Reset };
  Action action = Action::Reply;
  Bytes payload;                           // Reply: its payload
  Bytes valueTable;                        // Reply: appended with bit 0x40
  uint16_t errorCode = 0;                  // ErrorReply: one byte up to 255, else two
  milliseconds delay{0};                   // before the reply (or the close) goes out
  size_t fragmentSize = kMaxFragmentPayload;  // payload bytes per frame of the reply
  Fault fault = Fault::None;
  std::optional<WriteStyle> writeStyle;    // default: the device's
  std::optional<uint8_t> modeByte;         // default: 1 for a reply, 3 for an error reply
  // After this many requests of the tag on one connection the next one
  // resets that connection instead (-1: never).
  int resetAfter = -1;

  static Rule reply(Bytes payload = {});
  static Rule echo();  // replies with the request's payload, fragments joined
  static Rule error(uint16_t code);
  static Rule silent();
  static Rule close();
  static Rule reset();  // aborts the connection: the client sees a reset, not an orderly end
};

// How the device answers RequestChallenge and Register.
struct LoginRules {
  Bytes challenge = {'4', '7', '1', '1', '0', '8', '1', '5', '2', '9', '3', '3', 'a', 'b', 'c', 'd'};
  bool challengeSupported = true;  // false: RequestChallenge gets error 0x40
  bool acceptHookOn = true;
  uint8_t result = 1;
  uint8_t privilegeLevel = 3;
  uint16_t clientId = 0x0101;
  uint16_t refusalCode = 0xA0;  // error reply to a refused login
};

// A frame received from a client, decoded.
struct RecordedFrame : Frame {
  int connection = -1;
  Clock::time_point time;
  Bytes bytes;  // the frame as received
};

// One Register request as the device understood it.
struct Registration {
  enum class Outcome { Accepted, Refused, MessageIdUpdate };
  int connection = -1;
  RegisterRequest request;
  Outcome outcome = Outcome::Refused;
  bool challengeResponse = false;
  std::string user;       // from the credential text; "HookOn<n>" for a hook-on user
  std::string password;   // plain credentials only
  std::string digest;     // challenge responses only
};

class TestDevice {
 public:
  explicit TestDevice(std::string address = "127.0.0.1", uint16_t port = 0);
  ~TestDevice();
  TestDevice(const TestDevice&) = delete;
  TestDevice& operator=(const TestDevice&) = delete;

  // Binds and starts accepting; throws std::runtime_error on failure.
  void start();
  // Closes every connection and joins every thread; returns promptly.
  void stop();

  uint16_t port() const;
  const std::string& address() const { return address_; }
  std::string endpoint() const;  // "address:port"

  // Configuration, at any time.
  void addAccount(const std::string& user, const std::string& password);
  void setLoginRules(const LoginRules& rules);
  void setRule(uint32_t tag, const Rule& rule);  // replaces the built-in answer too
  void clearRule(uint32_t tag);
  void setDefaultRule(const Rule& rule);  // tags without rule; initially an empty reply
  void setWriteStyle(WriteStyle style);
  void setSilent(bool silent);  // record, never answer (challenge and login included)
  // Frames are recorded with their payloads unless this is turned off (for
  // floods of large requests): the recorded frames then carry headers only.
  void setRecordPayloads(bool record);

  // Driving a connection (numbered 0, 1, ... in accept order); false when it
  // is not open.
  bool pushMessage(int connection, uint32_t tag, uint8_t sequence, const Bytes& payload = {});
  bool sendKeepAlive(int connection, uint8_t sequence);
  // The reply keeps the request's header fields but the mode, and the
  // session id when one is given.
  bool reply(const RecordedFrame& request, const Bytes& payload, uint8_t mode = kModeReply,
             std::optional<uint32_t> sessionId = std::nullopt);
  bool sendRaw(int connection, const Bytes& bytes, std::optional<WriteStyle> style = std::nullopt);
  void closeConnection(int connection);

  // Observation.
  int connectionCount() const;  // accepted so far
  bool isOpen(int connection) const;
  std::optional<TunnelRequest> tunnelRequest(int connection) const;
  std::vector<RecordedFrame> frames() const;
  std::vector<RecordedFrame> framesWithTag(uint32_t tag) const;
  std::vector<Registration> registrations() const;
  std::vector<std::string> protocolErrors() const;  // malformed input from clients
  // Media connections: the request head, and the packets received (frame
  // headers taken off), in order.
  std::optional<std::string> mediaTunnelRequest(int connection) const;
  std::vector<Bytes> mediaPackets(int connection) const;

  // Waiting, each bounded by its time-out.
  std::optional<RecordedFrame> waitForFrame(const std::function<bool(const RecordedFrame&)>& match,
                                            milliseconds timeout, size_t fromIndex = 0);
  std::optional<RecordedFrame> waitForTag(uint32_t tag, milliseconds timeout, size_t fromIndex = 0);
  bool waitForFrameCount(size_t count, milliseconds timeout);
  std::optional<Registration> waitForRegistration(milliseconds timeout, size_t fromIndex = 0);
  bool waitForConnectionCount(int count, milliseconds timeout);
  bool waitForClosed(int connection, milliseconds timeout);
  // The first media connection from fromConnection on; its number.
  std::optional<int> waitForMediaTunnel(milliseconds timeout, int fromConnection = 0);
  bool waitForMediaPacketCount(int connection, size_t count, milliseconds timeout);

 private:
  struct Connection;
  struct Outgoing;

  void acceptLoop();
  void serve(Connection& connection);
  bool readInput(Connection& connection);
  bool handleInput(Connection& connection);
  bool handleMediaInput(Connection& connection);
  void answer(Connection& connection, const RecordedFrame& request, const Bytes& payload, std::vector<Outgoing>& out);
  void answerRegister(Connection& connection, const RecordedFrame& request, std::vector<Outgoing>& out);
  void addReply(const RecordedFrame& request, const Rule& rule, const Bytes& requestPayload, std::vector<Outgoing>& out);
  bool write(Connection& connection, const Bytes& bytes, WriteStyle style);
  void recordError(int connection, const std::string& error);
  Connection* find(int connection) const;
  bool pause(milliseconds duration);
  template <typename Predicate>
  bool waitUntil(milliseconds timeout, Predicate ready);

  const std::string address_;
  const uint16_t requestedPort_;
  int listenFd_ = -1;
  int wakeFd_ = -1;  // readable once stop() was called
  uint16_t port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::map<std::string, std::string> accounts_;
  LoginRules loginRules_;
  std::map<uint32_t, Rule> rules_;
  Rule defaultRule_;
  WriteStyle writeStyle_ = WriteStyle::Whole;
  bool silent_ = false;
  bool recordPayloads_ = true;
  std::vector<RecordedFrame> frames_;
  std::vector<Registration> registrations_;
  std::vector<std::string> protocolErrors_;
};

}  // namespace zeltest
