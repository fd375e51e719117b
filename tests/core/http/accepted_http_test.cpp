#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/lock.h"
#include "support/external_tool.h"
#include "support/raw_client.h"
#include "zelkit/server.h"

namespace {

using namespace std::chrono_literals;
using zeltest::Bytes;
using zeltest::RawClient;

constexpr uint32_t kEcho = 0x0A010C31;

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// What the sessions answer and what the handlers saw.
struct Script {
  std::mutex mutex;
  int status = 200;
  zelkit::ZelSession::TransferMode mode = zelkit::ZelSession::SingleRequest;
  bool readsBehind = false;  // the handler reads the bytes behind its request with recv
  // When set, the session chooses this mode only once it sees a request's head.
  std::optional<zelkit::ZelSession::TransferMode> modeAtHead;
  // The handler sends this once its bodies hold that many bytes (0: never).
  size_t answerAfter = 0;
  std::string answer;
  size_t received = 0;
  std::vector<std::vector<std::string>> heads;
  std::vector<int> headFlags;
  std::vector<std::string> bodies;
  std::vector<std::string> readBehind;

  void reset(int newStatus, zelkit::ZelSession::TransferMode newMode = zelkit::ZelSession::SingleRequest) {
    std::lock_guard<std::mutex> guard(mutex);
    status = newStatus;
    mode = newMode;
    modeAtHead.reset();
    answerAfter = 0;
    received = 0;
    heads.clear();
    headFlags.clear();
    bodies.clear();
    readBehind.clear();
  }
  // The session chooses the mode at the head; the handler answers once the
  // bodies hold answerAfterBytes (0: never).
  void chooseAtHead(zelkit::ZelSession::TransferMode atHead, size_t answerAfterBytes = 0,
                    const std::string& answerText = "") {
    std::lock_guard<std::mutex> guard(mutex);
    modeAtHead = atHead;
    answerAfter = answerAfterBytes;
    answer = answerText;
  }
  std::vector<std::string> recordedBodies() {
    std::lock_guard<std::mutex> guard(mutex);
    return bodies;
  }
};
Script script;

class HttpSession : public zelkit::ZelSession {
 public:
  HttpSession() {
    std::lock_guard<std::mutex> guard(script.mutex);
    setTransferMode(script.mode);
  }
  int onHttpHeader(int lineCount, const char** lines, int flags) override {
    std::vector<std::string> head;
    for (int i = 0; i < lineCount; ++i) head.emplace_back(lines[i], std::strstr(lines[i], "\r\n"));
    std::lock_guard<std::mutex> guard(script.mutex);
    script.heads.push_back(head);
    script.headFlags.push_back(flags);
    if (script.modeAtHead) setTransferMode(*script.modeAtHead);
    return script.status;
  }
};

class HttpServer : public zelkit::ZelServer {
 public:
  // The worker reads the server under the library lock; taking it here
  // orders those reads before the destruction.
  ~HttpServer() { zelkit::detail::GlobalLock lock; }
  zelkit::ZelSession* createSession() override { return new HttpSession(); }
};

void onBody(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream& request) {
  std::string body(static_cast<size_t>(request.available()), '\0');
  request.read(body.data(), request.available());
  if (body == "throw") throw std::runtime_error("the handler failed");
  std::vector<std::string> behind;
  if (script.readsBehind) {
    char peeked[5];
    char taken[5];
    char more[4];
    const int peekedCount = session->recv(peeked, sizeof peeked, zelkit::ZelSession::PeekFlag);
    const int takenCount = session->recv(taken, sizeof taken, 0);
    const int moreCount = session->recv(more, sizeof more, 0);
    behind = {std::string(peeked, std::max(peekedCount, 0)), std::string(taken, std::max(takenCount, 0)),
              std::string(more, std::max(moreCount, 0))};
  }
  std::unique_lock<std::mutex> guard(script.mutex);
  script.bodies.push_back(body);
  script.readBehind = behind;
  script.received += body.size();
  if (script.answerAfter != 0 && script.received == script.answerAfter) {
    const std::string answer = script.answer;
    guard.unlock();
    session->send(answer.data(), static_cast<int>(answer.size()), 0);
  }
}

void echo(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream& payload) {
  zelkit::ZelOutputStream reply(payload);
  session->respond(header, reply);
}

bool waitFor(size_t bodies) {
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (script.recordedBodies().size() < bodies) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string postHead(size_t length, const std::string& extra = "") {
  return "POST /x HTTP/1.1\r\nHost: t\r\n" + extra + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}

Bytes randomBytes(size_t count) {
  std::mt19937 generator(7);
  Bytes bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(generator());
  return bytes;
}

class AcceptedHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    script.reset(200);
    server.registerCallback(kEcho, echo);
    server.bindHttpPort(port, false, onBody);
    server.start(0);
  }

  HttpServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
};

TEST_F(AcceptedHttp, CurlPostsABody) {
  const Bytes body = randomBytes(100000);
  char path[] = "/tmp/zelkit-body-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  ::close(fd);
  const auto output = zelkit::test::runTool("curl -sS --http0.9 -H 'Expect:' --data-binary @" + std::string(path) +
                                            " http://127.0.0.1:" + std::to_string(port) + "/x");
  ::unlink(path);
  ASSERT_TRUE(output) << "curl failed";
  EXPECT_EQ(text(*output), "200 OK");
  ASSERT_TRUE(waitFor(1));
  EXPECT_EQ(script.recordedBodies()[0], text(body));
  std::lock_guard<std::mutex> guard(script.mutex);
  EXPECT_EQ(script.heads[0][0], "POST /x HTTP/1.1");
  EXPECT_EQ(script.headFlags[0], 100000);
}

TEST_F(AcceptedHttp, PythonWritesHeadAndBodyApart) {
  const std::string program =
      "import http.client, time\n"
      "c = http.client.HTTPConnection('127.0.0.1', " + std::to_string(port) + ")\n"
      "c.putrequest('POST', '/y')\n"
      "c.putheader('Content-Length', '3000')\n"
      "c.endheaders()\n"
      "time.sleep(0.3)\n"
      "c.send(b'a' * 1000)\n"
      "time.sleep(0.1)\n"
      "c.send(b'b' * 2000)\n"
      "out = b''\n"
      "while True:\n"
      "    part = c.sock.recv(100)\n"
      "    if not part: break\n"
      "    out += part\n"
      "print(out.decode(), end='')\n";
  const auto output = zelkit::test::runTool("python3 -", Bytes(program.begin(), program.end()));
  ASSERT_TRUE(output) << "python3 failed";
  EXPECT_EQ(text(*output), "200 OK");
  ASSERT_TRUE(waitFor(1));
  EXPECT_EQ(script.recordedBodies(), std::vector<std::string>{std::string(1000, 'a') + std::string(2000, 'b')});
}

TEST_F(AcceptedHttp, ContinueBeforeTheBody) {
  script.reset(100);
  RawClient client(port);
  ASSERT_TRUE(client.write(postHead(5, "Expect: 100-continue\r\n")));
  const auto answer = client.readBytes(25, 5s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(text(*answer), "HTTP/1.1 100 Continue\r\n\r\n");
  EXPECT_TRUE(script.recordedBodies().empty());
  ASSERT_TRUE(client.write("hello"));
  const auto rest = client.readToEnd(5s);
  ASSERT_TRUE(rest);
  EXPECT_TRUE(rest->empty());
  EXPECT_EQ(script.recordedBodies(), std::vector<std::string>{"hello"});
}

TEST_F(AcceptedHttp, StatusAnswers) {
  struct Case {
    int status;
    std::string answer;
  };
  const Case cases[] = {
      {200, "200 OK"},        {400, "400 Bad request"},    {401, ""},
      {403, "403 Forbidden"}, {404, "404 Not found"},      {500, "500 Internal Error"},
      {501, "501 Not implemented"}, {302, ""},             {100, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    script.reset(c.status);
    RawClient client(port);
    ASSERT_TRUE(client.write(postHead(4) + "body"));
    const auto answer = client.readToEnd(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(text(*answer), c.answer);
    EXPECT_EQ(script.recordedBodies(), std::vector<std::string>{"body"});
  }
}

TEST_F(AcceptedHttp, RefusedExpectationHandsOnTheBodyAlone) {
  script.reset(403);
  RawClient client(port);
  ASSERT_TRUE(client.write(postHead(6, "Expect: 100-continue\r\n") + "abcdef"));
  const auto answer = client.readToEnd(5s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(text(*answer), "403 Forbidden");
  EXPECT_EQ(script.recordedBodies(), std::vector<std::string>{"abcdef"});
}

TEST_F(AcceptedHttp, BadContentLengthIsRefused) {
  for (const std::string length : {"-5", "2147483648", "99999999999999999999"}) {
    SCOPED_TRACE(length);
    script.reset(200);
    RawClient client(port);
    ASSERT_TRUE(client.write("POST /x HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n"));
    const auto answer = client.readToEnd(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(text(*answer), "400 Bad request");
    std::lock_guard<std::mutex> guard(script.mutex);
    EXPECT_TRUE(script.heads.empty());
  }
}

// The bound of a body held whole applies once the session has seen the
// head and chosen how to take the body.
TEST_F(AcceptedHttp, WholeBodyAboveTheBoundIsRefusedAfterTheHead) {
  struct Case {
    zelkit::ZelSession::TransferMode atConstruction;
    zelkit::ZelSession::TransferMode atHead;
  };
  const Case cases[] = {
      {zelkit::ZelSession::SingleRequest, zelkit::ZelSession::SingleRequest},
      {zelkit::ZelSession::StreamedBody, zelkit::ZelSession::BlockRequests},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.atHead);
    script.reset(100, c.atConstruction);
    script.chooseAtHead(c.atHead);
    RawClient client(port);
    ASSERT_TRUE(client.write(postHead(16 * 1024 * 1024 + 1)));
    const auto answer = client.readToEnd(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(text(*answer), "400 Bad request");
    std::lock_guard<std::mutex> guard(script.mutex);
    EXPECT_EQ(script.heads.size(), 1u);
    EXPECT_TRUE(script.bodies.empty());
  }
}

TEST_F(AcceptedHttp, StreamingChosenAtTheHeadTakesABodyAboveTheWholeBodyBound) {
  ZELKIT_REQUIRE_TOOL("curl");
  const Bytes body = randomBytes(20 * 1024 * 1024);
  script.reset(100);
  script.chooseAtHead(zelkit::ZelSession::StreamedBody, body.size(),
                      "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nConnection: close\r\n\r\nstreamed");
  char path[] = "/tmp/zelkit-body-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  ::close(fd);
  // curl asks with "Expect: 100-continue" before a body this large.
  const auto output = zelkit::test::runTool("curl -sS --max-time 60 --data-binary @" + std::string(path) +
                                            " http://127.0.0.1:" + std::to_string(port) + "/big");
  ::unlink(path);
  ASSERT_TRUE(output) << "curl failed";
  EXPECT_EQ(text(*output), "streamed");
  std::lock_guard<std::mutex> guard(script.mutex);
  ASSERT_EQ(script.headFlags, std::vector<int>{static_cast<int>(body.size())});
  std::string joined;
  for (const std::string& block : script.bodies) {
    EXPECT_LE(block.size(), 65536u);
    joined += block;
  }
  EXPECT_GT(script.bodies.size(), 1u);
  EXPECT_TRUE(joined == text(body)) << "the handler got " << joined.size() << " bytes";
}

TEST_F(AcceptedHttp, RequestTakenOnlyOnceItsHeadIsComplete) {
  const std::string request = "GET /x HTTP/1.0\r\nA: " + std::string(3000, 'a') + "\r\n\r\n";
  RawClient client(port);
  for (size_t at = 0; at < request.size(); at += 1000) {
    ASSERT_TRUE(client.write(request.substr(at, 1000)));
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(client.readToEnd(5s));
  // Unknown forms go to the handler whole, once.
  EXPECT_EQ(script.recordedBodies(), std::vector<std::string>{request});

  // A head that fills the largest buffer without ending.
  RawClient endless(port);
  ASSERT_TRUE(endless.write("GET /x HTTP/1.0\r\nA: " + std::string(8192 - 20, 'a')));
  const auto answer = endless.readToEnd(5s);
  ASSERT_TRUE(answer);
  EXPECT_EQ(text(*answer), "400 Bad request");
  EXPECT_EQ(script.recordedBodies().size(), 1u);
}

TEST_F(AcceptedHttp, TunnelHeadFollowedByFrames) {
  const std::string head = "GET /zel_tunnel HTTP/1.0\r\nHost: t\r\nAuthorization: Basic dTo=\r\n\r\n";
  const auto frame = [](uint8_t id) {
    zeltest::FrameHeader header;
    header.tag = kEcho;
    header.transactionId = id;
    return zeltest::encodeFrame(header, Bytes{id, id});
  };
  Bytes frames;
  for (uint8_t id = 1; id <= 3; ++id) {
    const Bytes one = frame(id);
    frames.insert(frames.end(), one.begin(), one.end());
  }
  // How many of the three frames' bytes share the head's segment.
  for (const size_t together : {size_t{1}, size_t{19}, size_t{22}, size_t{33}, frames.size()}) {
    SCOPED_TRACE(together);
    RawClient client(port);
    Bytes first(head.begin(), head.end());
    first.insert(first.end(), frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(together));
    ASSERT_TRUE(client.write(first));
    std::this_thread::sleep_for(50ms);
    if (together < frames.size()) {
      ASSERT_TRUE(client.write(Bytes(frames.begin() + static_cast<std::ptrdiff_t>(together), frames.end())));
    }
    for (uint8_t id = 1; id <= 3; ++id) {
      const auto answer = client.readFrame(5s);
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->header.transactionId, id);
      EXPECT_EQ(answer->payload, (Bytes{id, id}));
    }
  }
  std::lock_guard<std::mutex> guard(script.mutex);
  ASSERT_FALSE(script.heads.empty());
  EXPECT_EQ(script.heads[0], (std::vector<std::string>{"GET /zel_tunnel HTTP/1.0", "Host: t",
                                                       "Authorization: Basic dTo="}));
}

TEST_F(AcceptedHttp, BlockRequestsKeepTheConnection) {
  script.reset(401, zelkit::ZelSession::BlockRequests);
  RawClient client(port);
  // Two requests in one write: the first body ends where its length says.
  ASSERT_TRUE(client.write(postHead(3) + "one" + postHead(3) + "two"));
  ASSERT_TRUE(waitFor(2));
  EXPECT_EQ(script.recordedBodies(), (std::vector<std::string>{"one", "two"}));
  {
    std::lock_guard<std::mutex> guard(script.mutex);
    script.status = 200;
  }
  for (const std::string body : {"three", "four"}) {
    ASSERT_TRUE(client.write(postHead(body.size()) + body));
    const auto answer = client.readBytes(6, 5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(text(*answer), "200 OK");
  }
  // A request without a length has no body, whatever the one before had.
  ASSERT_TRUE(client.write("POST /x HTTP/1.1\r\nHost: t\r\n\r\n"));
  ASSERT_TRUE(waitFor(5));
  EXPECT_EQ(script.recordedBodies(), (std::vector<std::string>{"one", "two", "three", "four", ""}));
}

TEST_F(AcceptedHttp, StreamedBodyArrivesInBlocks) {
  script.reset(200, zelkit::ZelSession::StreamedBody);
  const Bytes body = randomBytes(300000);
  RawClient client(port);
  ASSERT_TRUE(client.write(postHead(body.size())));
  ASSERT_TRUE(client.write(body));
  std::string joined;
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (joined.size() < body.size() && std::chrono::steady_clock::now() < end) {
    joined.clear();
    for (const std::string& block : script.recordedBodies()) {
      EXPECT_LE(block.size(), 65536u);
      joined += block;
    }
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(joined, text(body));
  EXPECT_GT(script.recordedBodies().size(), 1u);
}

TEST_F(AcceptedHttp, RecvGivesTheBytesBehindTheRequestFirst) {
  script.readsBehind = true;
  RawClient client(port);
  ASSERT_TRUE(client.write(postHead(4) + "bodyEXTRA"));
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(client.write("MORE"));
  ASSERT_TRUE(waitFor(1));
  std::lock_guard<std::mutex> guard(script.mutex);
  EXPECT_EQ(script.bodies[0], "body");
  // A peek leaves the bytes for the next read; then the socket is read.
  EXPECT_EQ(script.readBehind, (std::vector<std::string>{"EXTRA", "EXTRA", "MORE"}));
}

TEST_F(AcceptedHttp, MediaTunnelWithoutMediaSessionIsAnOrdinaryRequest) {
  const std::string request =
      "GET /media_tunnel/00080000/01/00/00/00?index=0 HTTP/1.0\r\nAuthorization: Basic dTpw\r\n\r\n";
  RawClient client(port);
  ASSERT_TRUE(client.write(request));
  ASSERT_TRUE(waitFor(1));
  EXPECT_EQ(script.recordedBodies()[0], request);
}

TEST_F(AcceptedHttp, ThrowingHandlerEndsOnlyItsRequest) {
  {
    RawClient client(port);
    ASSERT_TRUE(client.write(postHead(5) + "throw"));
    const auto answer = client.readToEnd(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(text(*answer), "200 OK");
  }
  RawClient client(port);
  ASSERT_TRUE(client.write(postHead(2) + "ok"));
  ASSERT_TRUE(waitFor(1));
  EXPECT_EQ(script.recordedBodies(), std::vector<std::string>{"ok"});
}

TEST_F(AcceptedHttp, NoHandlerEndsTheConnection) {
  server.bindHttpPort(port, false, nullptr);
  RawClient client(port);
  ASSERT_TRUE(client.write("GET / HTTP/1.0\r\n\r\n"));
  const auto answer = client.readToEnd(5s);
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->empty());
}

}  // namespace
