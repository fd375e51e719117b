#include "core/connection/connection.h"

namespace zelkit::detail {

void Connection::startHttpReceive() {
  receivePhase = ReceivePhase::Http;
  httpHeaderLength = 0;
  httpContentLength = 0;
  httpBodyConsumed = 0;
  startReceive(httpBuffer->wire, static_cast<uint32_t>(httpBuffer->capacity() + FRAME_HEADER_SIZE));
}

// HTTP requests on accepted sockets are not served yet: the connection ends.
void Connection::onHttpReceived(uint32_t) { close(LocalEvent::ConnectionClosed, "HTTP requests not served", 0); }

}  // namespace zelkit::detail
