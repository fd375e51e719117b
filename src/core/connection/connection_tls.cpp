#include "core/connection/connection.h"

// The TLS layer of connections is not built yet: a connection that needs it
// does not start (the caller closes it), and none ever reaches these reads
// and writes.
namespace zelkit::detail {

int Connection::startSsl(bool) { return -1; }

void Connection::onSslReceived(uint32_t) {}

void Connection::sendQueuedSsl() {}

void Connection::releaseSsl() {}

}  // namespace zelkit::detail
