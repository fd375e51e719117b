#include <exception>

#include "core/connection/connection.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/wire/stream_access.h"
#include "server/server_state.h"
#include "zelkit/exceptions.h"
#include "zelkit/server.h"

namespace zelkit {

namespace {

// The error code of a handler's failure: the library's own code, or 255
// for anything else it threw.
int runHandler(ZelRequestHandler handler, const ZelSessionRef& session, ZelHeader& header, ZelInputStream& payload) {
  try {
    handler(session, header, payload);
    return 0;
  } catch (Exception* error) {
    return error->code;
  } catch (...) {
    return UnknownError;
  }
}

}  // namespace

void ZelSession::dispatch(detail::ZelPacket* packet) {
  // Called by the receive path with the library lock held; the handler runs
  // without it, so that it may block and call into the library.
  if (packet->mode() == detail::LocalError) {
    // Fragments that could not be joined into one request.
    detail::ZelPacket::free(packet);
    return;
  }
  connection_->liveCheckIntervalMs = detail::ACCEPTED_LIVE_CHECK_INTERVAL_MS;
  const ZelSessionRef session = self_;
  const int depth = detail::releaseGlobalCompletely();
  {
    ZelInputStream headerBytes(packet->wire + detail::TPKT_HEADER_SIZE, detail::ZEL_HEADER_SIZE);
    ZelHeader header(headerBytes);
    header.sourceUrl = packet->sourceUrl;
    ZelInputStream payload;
    detail::StreamAccess::attach(payload, packet);  // the stream frees the packet
    const ZelRequestHandler handler = detail::serverState().handlers.find(header.tag);
    int errorCode = InvalidCmd;
    if (handler != nullptr && session) errorCode = runHandler(handler, session, header, payload);
    if (errorCode != 0 && session) {
      ZelHeader failure = header;
      failure.mode = detail::ErrorReply;
      failure.errorCode = errorCode & 0xFF;
      respond(failure, noPayload());
    }
  }
  detail::reacquireGlobal(depth);
}

}  // namespace zelkit
