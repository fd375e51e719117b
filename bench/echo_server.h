#pragma once

// The library's echo server of the large-message benchmarks: every login is
// granted, the echo answers with the request's payload.

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

inline void answerEcho(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header,
                       zelkit::ZelInputStream& request) {
  zelkit::ZelOutputStream reply;
  const int length = request.available();
  if (length > 0) reply.write(request.skip(length), length);
  session->respond(header, reply);
}

}  // namespace bench
