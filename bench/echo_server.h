#pragma once

// The library's echo server of the large-message benchmarks: every login is
// granted; zeltest::echoPayload answers the echo.

#include "support/echo_handler.h"
#include "zelkit/server.h"
#include "zelkit/session.h"

namespace bench {

class EchoSession : public zelkit::ZelSession {
 public:
  int onLogin(const zelkit::ZelHeader&, const char*, const char*) override { return 2; }
};

class EchoServer : public zelkit::ZelServer {
 public:
  zelkit::ZelSession* createSession() override { return new EchoSession(); }
};

}  // namespace bench
