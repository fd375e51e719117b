#pragma once

#include <netinet/in.h>

namespace zelkit::detail {

class Connection;
class UploadSocket;

// At most this many upload connects run at once, process-wide; the others
// wait in steps of UPLOAD_CONNECT_RETRY_MS.
constexpr int UPLOAD_CONNECTS_MAX = 4;
constexpr unsigned UPLOAD_CONNECT_RETRY_MS = 500;
// A device's Zel port stands for its web server on port 80.
constexpr unsigned short UPLOAD_WEB_PORT = 80;

// Connects the socket to the connection's device, within the connect
// time-out; address gets where it went. 0, or -1 (also when the upload is
// aborted while it waits for its turn).
int connectLimited(Connection* connection, UploadSocket& socket, sockaddr_in6& address);

}  // namespace zelkit::detail
