#pragma once

#include "zelkit/server.h"

namespace zelkit::detail {

// What the engine asks of the server it accepts connections for. The server
// fills it in, so the engine and the connections know nothing else of it.
class ServerSeam {
 public:
  // Where the engine links each session it accepts: the head of the
  // server's session list (newest first, through the session's next link).
  // Under the library lock.
  virtual ZelSession*& sessionList() = 0;
  // The handler of the HTTPS (tls) or the HTTP listener's requests; null
  // when none is bound. Under the library lock.
  virtual ZelRequestHandler httpHandler(bool tls) const = 0;

 protected:
  ~ServerSeam() = default;
};

// Set once, when the server's state is built (at load, before any thread of
// the library runs).
void installServerSeam(ServerSeam* seam);
ServerSeam& serverSeam();

}  // namespace zelkit::detail
