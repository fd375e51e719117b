#pragma once

// A server's request handler that answers with the request's payload: the
// device side of the echo tests and benchmarks.

#include "zelkit/server.h"

namespace zeltest {

inline void echoPayload(zelkit::ZelSessionRef const& session, zelkit::ZelHeader& header,
                        zelkit::ZelInputStream& request) {
  zelkit::ZelOutputStream reply;
  const int length = request.available();
  if (length > 0) reply.write(request.skip(length), length);
  session->respond(header, reply);
}

}  // namespace zeltest
