// Every way an accepted connection ends gives its client id back, and only
// once: a leaked id is never given again, and after 65,535 of them the
// server refuses every connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/connection/accepted_client_ids.h"
#include "core/engine/lock.h"
#include "server/streaming/streaming_test_util.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "support/tls_credentials.h"

namespace {

using namespace servertest;
using zeltest::BackgroundProcess;
using zeltest::RawClient;

constexpr uint32_t kEcho = 0x0A010C31;
constexpr uint32_t kDisconnects = 0x0A080C31;
const std::string kHttpAnswer = "answered";

uint32_t idsInUse() {
  zelkit::detail::GlobalLock lock;
  return zelkit::detail::acceptedClientIdsInUse();
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The client id a login was granted; -1 without an answer.
int loginId(RawClient& client) {
  if (!rawLogin(client, 2)) return -1;
  const auto state = client.call(kCmdRegisterState);
  return state && state->payload.size() == 4 ? zeltest::readU16(&state->payload[2]) : -1;
}

void echo(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header, zelkit::ZelInputStream& request) {
  zelkit::ZelOutputStream reply(request);
  session->respond(header, reply);
}

void disconnects(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  session->disconnect();
}

void answerHttp(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream&) {
  session->send(kHttpAnswer.data(), static_cast<int>(kHttpAnswer.size()), 0);
}

// Sessions that keep their HTTP connection for further requests and let
// it end by the live check soon after a request.
std::atomic<bool> keepHttpBriefly{false};

class EndingSession : public TestSession {
 public:
  EndingSession() {
    if (keepHttpBriefly) setTransferMode(BlockRequests);
  }
  int onHttpHeader(int, const char**, int) override {
    if (keepHttpBriefly) setTimeout(100);
    return 200;
  }
};

class EndingServer : public streamingtest::MediaServer {
 public:
  // Orders the worker's last call of createSession before the destruction.
  ~EndingServer() { zelkit::detail::GlobalLock lock; }
  zelkit::ZelSession* createSession() override { return new EndingSession(); }
};

std::string mediaTunnelRequest(uint32_t sessionId) {
  char request[128];
  std::snprintf(request, sizeof request, "GET /media_tunnel/%08x/01/01/04/00?index=1 HTTP/1.0\r\n\r\n", sessionId);
  return request;
}

// The Python TLS peer; its output once it has ended.
std::string tlsPeer(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"python3", zeltest::tlsPeerScript()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  BackgroundProcess peer(argv);
  if (!peer.waitForExit(20s)) return "the peer did not end";
  return peer.output();
}

std::string hex(const std::string& bytes) { return zelkit::test::toHex(Bytes(bytes.begin(), bytes.end())); }

class ClientIds : public ::testing::Test {
 protected:
  void SetUp() override {
    server.registerCallback(kEcho, echo);
    server.registerCallback(kDisconnects, disconnects);
    server.bindHttpPort(httpPort, false, answerHttp);
    server.bindHttpPort(httpsPort, true, answerHttp);
    server.start(port);
  }

  // A media session of the logged-in client whose stream waits for a
  // tunnel on line 4.
  zelkit::RtpStreamerSessionRef mediaSession(RawClient& client) {
    const Bytes descriptor = mediatest::encodeDescriptor(streamingtest::requestDescriptor(1, 0x0400, 0, 4));
    const auto reply = streamingtest::connect(client, descriptor);
    if (!reply || reply->mode != zeltest::kModeReply) return {};
    return streamingtest::sessionOf(server, *reply);
  }

  EndingServer server;
  const uint16_t port = zeltest::freeLoopbackPort();
  const uint16_t httpPort = zeltest::freeLoopbackPort();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
};

TEST_F(ClientIds, EveryWayAConnectionEndsGivesItsIdBack) {
  ZELKIT_REQUIRE_TOOL("python3");
  RawClient media(port);
  ASSERT_GT(loginId(media), 0);
  const uint32_t before = idsInUse();
  ASSERT_EQ(before, 1u);
  const std::string http = std::to_string(httpPort);
  const std::string https = std::to_string(httpsPort);
  struct Case {
    const char* name;
    std::function<void()> run;  // returns once the connection has ended, or is ending
  };
  const Case cases[] = {
      {"Zel port, the peer closes",
       [&] {
         RawClient client(port);
         EXPECT_GT(loginId(client), 0);
       }},
      {"Zel port, the peer resets mid-frame",
       [&] {
         RawClient client(port);
         EXPECT_GT(loginId(client), 0);
         zeltest::FrameHeader header;
         header.tag = kEcho;
         const Bytes frame = zeltest::encodeFrame(header, Bytes(100, 7));
         EXPECT_TRUE(client.write(Bytes(frame.begin(), frame.begin() + 30)));
         client.reset();
       }},
      {"Zel port, the peer never reads its replies, then resets",
       [&] {
         RawClient client(port);
         EXPECT_GT(loginId(client), 0);
         for (int i = 0; i < 200; ++i) client.sendRequest(kEcho, Bytes(60000, 1));
         std::this_thread::sleep_for(100ms);
         client.reset();
       }},
      {"Zel port, the session disconnects",
       [&] {
         RawClient client(port);
         EXPECT_TRUE(client.sendRequest(kDisconnects));
         EXPECT_TRUE(client.readToEnd(5s));
       }},
      {"tunnel, the peer closes",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("GET /zel_tunnel HTTP/1.0\r\nHost: t\r\n\r\n"));
         EXPECT_TRUE(client.call(kEcho, Bytes{1}));
       }},
      {"one-request GET",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("GET / HTTP/1.0\r\n\r\n"));
         const auto answer = client.readToEnd(5s);
         EXPECT_EQ(answer ? text(*answer) : "no close", kHttpAnswer);
       }},
      {"GET without a handler",
       [&] {
         server.bindHttpPort(httpPort, false, nullptr);
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("GET / HTTP/1.0\r\n\r\n"));
         EXPECT_TRUE(client.readToEnd(5s));
         server.bindHttpPort(httpPort, false, answerHttp);
       }},
      {"refused, a negative length",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"));
         const auto answer = client.readToEnd(5s);
         EXPECT_EQ(answer ? text(*answer) : "no close", "400 Bad request");
       }},
      {"refused, a head over 8 KiB",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("GET / HTTP/1.0\r\nX-Pad: " + std::string(9000, 'p')));
         const auto ending = client.readToEndOrReset(5s);
         EXPECT_EQ(ending ? text(ending->received) : "no close", "400 Bad request");
       }},
      {"refused, the peer resets at once",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n"));
         client.reset();
       }},
      {"HTTP, the peer closes mid-head",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("GET / HTTP/1.0\r\nHo"));
         client.shutdownWrite();
         EXPECT_TRUE(client.readToEnd(5s));
       }},
      {"HTTP, the peer resets mid-head",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("GET / HTTP/1.0\r\nHo"));
         EXPECT_TRUE(sessionOf(server, client));
         client.reset();
       }},
      {"media tunnel that attaches nothing",
       [&] {
         RawClient client(httpPort);
         EXPECT_TRUE(client.write(mediaTunnelRequest(0x12345678)));
         const auto answer = client.readToEnd(5s);
         EXPECT_EQ(answer ? text(*answer) : "no close", kHttpAnswer);
       }},
      {"media tunnel attached to a stream",
       [&] {
         const zelkit::RtpStreamerSessionRef stream = mediaSession(media);
         ASSERT_TRUE(stream);
         RawClient client(httpPort);
         EXPECT_TRUE(client.write(mediaTunnelRequest(static_cast<uint32_t>(stream->sessionId()))));
         EXPECT_TRUE(streamingtest::mediaSession(stream)->waitEstablished(5s));
       }},
      {"media tunnel inside TLS attached to a stream",
       [&] {
         const zelkit::RtpStreamerSessionRef stream = mediaSession(media);
         ASSERT_TRUE(stream);
         // The peer waits for the close, which the stream now owns.
         BackgroundProcess peer({"python3", zeltest::tlsPeerScript(), "request", "--port", https, "--bytes",
                                 hex(mediaTunnelRequest(static_cast<uint32_t>(stream->sessionId())))});
         EXPECT_TRUE(streamingtest::mediaSession(stream)->waitEstablished(10s)) << peer.output();
       }},
      {"live check of a kept HTTP connection",
       [&] {
         keepHttpBriefly = true;
         RawClient client(httpPort);
         EXPECT_TRUE(client.write("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nok"));
         EXPECT_TRUE(client.readToEnd(5s));
         keepHttpBriefly = false;
       }},
      {"HTTPS one-request POST",
       [&] {
         const std::string output = tlsPeer({"post", "--port", https, "--body", "b"});
         EXPECT_NE(output.find("RECEIVED b'200 OK" + kHttpAnswer + "'"), std::string::npos) << output;
       }},
      {"HTTPS refused",
       [&] {
         const std::string output =
             tlsPeer({"request", "--port", https, "--bytes", hex("POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n")});
         EXPECT_NE(output.find("RECEIVED b'400 Bad request'"), std::string::npos) << output;
       }},
      {"HTTPS tunnel and login",
       [&] {
         const std::string output = tlsPeer({"login", "--port", https, "--user", "u", "--password", "pw"});
         EXPECT_NE(output.find("LEVEL 2"), std::string::npos) << output;
       }},
      {"HTTPS, the peer resets mid-handshake",
       [&] {
         RawClient client(httpsPort);
         EXPECT_TRUE(client.write(Bytes{0x16, 0x03, 0x01, 0x00, 0x40, 0x01, 0x00}));
         EXPECT_TRUE(sessionOf(server, client));
         client.reset();
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.run();
    EXPECT_TRUE(waitUntil([&] { return idsInUse() == before; })) << idsInUse() << " ids in use";
  }
}

// An id goes back at the close, though the application still holds the
// session; dropping that session later leaves the id to whoever has it now.
TEST_F(ClientIds, SessionKeptPastItsCloseGivesItsIdBackOnce) {
  zelkit::ZelSessionRef kept;
  int id;
  {
    RawClient client(port);
    id = loginId(client);
    ASSERT_GT(id, 0);
    kept = sessionOf(server, client);
    ASSERT_TRUE(kept);
  }
  ASSERT_TRUE(waitUntil([] { return idsInUse() == 0; }));
  {
    zelkit::detail::GlobalLock lock;
    zelkit::detail::setLastAcceptedClientId(static_cast<uint16_t>(id - 1));
  }
  RawClient next(port);
  ASSERT_EQ(loginId(next), id);
  kept.reset();
  EXPECT_EQ(idsInUse(), 1u);
  {
    zelkit::detail::GlobalLock lock;
    EXPECT_EQ(zelkit::detail::takeAcceptedClientId(), id + 1) << "the id of the open connection was given again";
  }
}

// A plain GET on a socket of its own, from one of several loopback
// addresses (one has too few ports for all of them in TIME_WAIT).
bool getOnce(uint16_t port, uint32_t source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(source);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const char request[] = "GET / HTTP/1.0\r\n\r\n";
  bool answered = ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                  ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0 &&
                  ::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == sizeof request - 1;
  std::string received;
  while (answered) {
    pollfd ready{fd, POLLIN, 0};
    char chunk[256];
    const ssize_t got = ::poll(&ready, 1, 5000) == 1 ? ::recv(fd, chunk, sizeof chunk, 0) : -1;
    if (got <= 0) {
      answered = got == 0 && received == kHttpAnswer;
      break;
    }
    received.append(chunk, static_cast<size_t>(got));
  }
  ::close(fd);
  return answered;
}

// More one-request HTTP connections than there are ids, then a client on
// the Zel port: it is served.
TEST_F(ClientIds, MoreHttpRequestsThanIdsLeaveTheServerServing) {
  constexpr int kRequests = 0x10000 + 100;
  constexpr int kThreads = 4;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      const uint32_t source = INADDR_LOOPBACK + 1 + static_cast<uint32_t>(t);  // 127.0.0.2 and on
      for (int i = t; i < kRequests; i += kThreads) answered += getOnce(httpPort, source);
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(answered.load(), kRequests);
  RawClient client(port);
  EXPECT_GT(loginId(client), 0);
  const auto reply = client.call(kEcho, Bytes{9});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, Bytes{9});
}

// The server goes while sessions are open; they still give their ids back,
// and the next server serves.
TEST(ClientIdsOfAServerGone, ComeBackWhenItsSessionsEnd) {
  const uint16_t port = zeltest::freeLoopbackPort();
  auto first = std::make_unique<TestServer>();
  first->start(port);
  {
    RawClient a(port);
    RawClient b(port);
    ASSERT_GT(loginId(a), 0);
    ASSERT_GT(loginId(b), 0);
    EXPECT_EQ(idsInUse(), 2u);
    first.reset();
  }
  EXPECT_TRUE(waitUntil([] { return idsInUse() == 0; }));
  TestServer second;
  second.registerCallback(kEcho, echo);
  RawClient client(port);
  EXPECT_GT(loginId(client), 0);
  EXPECT_TRUE(client.call(kEcho, Bytes{1}));
}

}  // namespace
