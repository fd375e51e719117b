// A refused HTTP request gets its "400 Bad request" before the connection
// closes, on the plain port and inside TLS; so does the status answer of a
// request whose handler ends the connection.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "server/server_test_util.h"
#include "support/background_process.h"
#include "support/external_tool.h"
#include "support/tls_credentials.h"

namespace {

using namespace servertest;
using zeltest::BackgroundProcess;

// Whether new sessions keep their connection for further requests.
std::atomic<bool> keepConnections{false};

class AnsweringSession : public TestSession {
 public:
  AnsweringSession() {
    if (keepConnections) setTransferMode(BlockRequests);
  }
  int onHttpHeader(int, const char**, int) override { return 200; }
};

class AnsweringServer : public TestServer {
 public:
  // Orders the worker's last call of createSession before the destruction.
  ~AnsweringServer() { zelkit::detail::GlobalLock lock; }
  zelkit::ZelSession* createSession() override { return new AnsweringSession(); }
};

// Answers with the body in brackets.
void onBody(zelkit::ZelSessionRef const& session, zelkit::ZelHeader&, zelkit::ZelInputStream& request) {
  const int length = request.available();
  const std::string answer = "[" + std::string(reinterpret_cast<const char*>(request.skip(length)), length) + "]";
  session->send(answer.data(), static_cast<int>(answer.size()), 0);
}

// What a peer receives until the server closes, over plain TCP or TLS.
std::string exchange(uint16_t port, bool tls, const std::string& request, size_t bodyBytes) {
  if (!tls) {
    zeltest::RawClient client(port);
    if (!client.write(request)) return "write failed";
    // Unread by the server, the body may meet the close: only what the
    // peer had received by then counts.
    client.write(std::string(bodyBytes, 'b'));
    const auto ending = client.readToEndOrReset(10s);
    return ending ? std::string(ending->received.begin(), ending->received.end()) : "no close";
  }
  BackgroundProcess client({"python3", zeltest::tlsPeerScript(), "request", "--port", std::to_string(port),
                            "--bytes", zelkit::test::toHex(Bytes(request.begin(), request.end())), "--body",
                            std::to_string(bodyBytes)});
  if (client.waitForExit(20s) != 0) return "peer failed: " + client.output();
  const std::string& output = client.output();
  const size_t at = output.find("RECEIVED ");
  return at == std::string::npos ? output : output.substr(at + 9, output.find('\n', at) - at - 9);
}

class HttpRefusal : public ::testing::Test {
 protected:
  void SetUp() override {
    server.bindHttpPort(httpPort, false, onBody);
    server.bindHttpPort(httpsPort, true, onBody);
    server.start(0);
  }

  AnsweringServer server;
  const uint16_t httpPort = zeltest::freeLoopbackPort();
  const uint16_t httpsPort = zeltest::freeLoopbackPort();
};

TEST_F(HttpRefusal, ArrivesBeforeTheCloseOnPlainAndTls) {
  ZELKIT_REQUIRE_TOOL("python3");
  struct Case {
    const char* name;
    std::string request;
    size_t bodyBytes;  // written behind the request
  };
  const Case cases[] = {
      {"negative length", "POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 0},
      {"length past 31 bits", "POST /x HTTP/1.1\r\nContent-Length: 2147483648\r\n\r\n", 0},
      {"body above the bound", "POST /x HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n", 0},
      {"body above the bound, still coming", "POST /x HTTP/1.1\r\nContent-Length: 16777217\r\n\r\n", 1 << 20},
      {"head line without CR", "POST /x HTTP/1.1\r\n\n\r\n\r\n", 0},
      {"head over 8 KiB", "GET / HTTP/1.0\r\nX-Pad: " + std::string(9000, 'p') + "\r\n\r\n", 0},
  };
  for (const bool tls : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (tls ? " over TLS" : " over TCP"));
      const std::string received = exchange(tls ? httpsPort : httpPort, tls, c.request, c.bodyBytes);
      EXPECT_EQ(received, tls ? "b'400 Bad request'" : "400 Bad request");
    }
  }
}

// A one-request POST whose head and body come in one write: the status
// answer goes out before what the handler writes, and before the close.
TEST_F(HttpRefusal, StatusAnswerPrecedesTheHandlersOwnBytes) {
  ZELKIT_REQUIRE_TOOL("python3");
  const std::string request = "POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody";
  EXPECT_EQ(exchange(httpPort, false, request, 0), "200 OK[body]");
  EXPECT_EQ(exchange(httpsPort, true, request, 0), "b'200 OK[body]'");
}

// On a kept connection the answers of a request are still on their way
// when the request behind it is refused: all of them arrive, in order.
TEST_F(HttpRefusal, FollowsTheAnswersOfTheRequestBeforeIt) {
  ZELKIT_REQUIRE_TOOL("python3");
  keepConnections = true;
  const std::string requests =
      "POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody" "POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n";
  EXPECT_EQ(exchange(httpPort, false, requests, 0), "200 OK[body]400 Bad request");
  EXPECT_EQ(exchange(httpsPort, true, requests, 0), "b'200 OK[body]400 Bad request'");
}

}  // namespace
