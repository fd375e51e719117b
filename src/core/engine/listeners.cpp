#include <cstdio>

#include "core/connection/accepted_client_ids.h"
#include "core/connection/connection.h"
#include "core/wire/conversions.h"
#include "core/engine/core.h"
#include "core/engine/lock.h"
#include "core/engine/server_seam.h"
#include "platform/errors.h"
#include "platform/time.h"
#include "zelkit/server.h"

namespace zelkit::detail {

namespace {

constexpr const char* LISTENER_SCHEMES[LISTENER_COUNT] = {"zelp://", "http://", "https://"};
constexpr int LISTEN_BACKLOG = 0x7FFFFFFF;
constexpr uint32_t SERVER_RUN_POLL_MS = 200;

// The process is out of descriptors or memory: trying again at once would
// fail the same way.
bool isResourceShortage(uint32_t error) {
  return error == platform::wsa::TooManyOpen || error == platform::wsa::NoBuffers;
}

}  // namespace

void Core::setServer(ZelServer* server) {
  GlobalLock lock;
  server_ = server;
}

void Core::setServerPort(int index, uint16_t port) {
  GlobalLock lock;
  serverPorts[index] = port;
}

void Core::startServer(uint16_t zelPort, bool runInBackground) {
  ensureInitialized();
  bool runHere = false;
  {
    GlobalLock lock;
    if (listenSockets[0] == 0) serverPorts[0] = zelPort;
    for (int index = 0; index < LISTENER_COUNT; ++index) {
      // A listener of an earlier start keeps its accept, and the socket
      // prepared for it, under way.
      if (listenSockets[index] != 0) continue;
      acceptSockets[index] = 0;
      listenOps[index].mode = Accept;
      acceptRetryOps[index].mode = Accept;
      if (serverPorts[index] == 0) continue;
      listenSockets[index] = platform::openSocket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in6 any{};  // the 28-byte record makeSockaddr fills
      makeSockaddr(reinterpret_cast<sockaddr*>(&any), AF_INET, nullptr, 0, htons(serverPorts[index]));
      if (platform::bindSocket(listenSockets[index], reinterpret_cast<sockaddr*>(&any), sizeof(sockaddr_in)) != 0)
        log(nullptr, "disc", "Bind server port %d error %d", serverPorts[index],
            static_cast<int>(platform::lastError()));
      platform::listenSocket(listenSockets[index], LISTEN_BACKLOG);
      platform::associateSocket(completionPort, listenSockets[index], 0);
      postAccept(index);
    }
    if (!knowsOwnAddress()) platform::hostName(ownName_, sizeof ownName_);
    if (!workerStarted) {
      if (runInBackground) {
        startWorker(true);
      } else {
        workerStarted = true;
        runHere = true;
      }
    }
  }
  if (runHere) {
    runWorker();
  } else if (!runInBackground) {
    while (!isTerminating()) platform::sleepMilliseconds(SERVER_RUN_POLL_MS);
  }
}

void Core::postAccept(int index) {
  if (acceptSockets[index] == 0) {
    const platform::Socket prepared = platform::openSocket(AF_INET, SOCK_STREAM, 0);
    if (prepared == platform::InvalidSocket && isResourceShortage(platform::lastError())) {
      pauseAccept(index, platform::lastError());
      return;
    }
    acceptSockets[index] = prepared;
  }
  const uint32_t error = platform::startAccept(listenSockets[index], acceptSockets[index], acceptBuffers[index],
                                               &listenOps[index].record);
  if (error != 0) {
    log(nullptr, "acpt", "Setting up listener index %d failed (%d)", index, static_cast<int>(error));
    notifyLocal(LocalEvent::ListenerFailed, nullptr);
  }
}

void Core::pauseAccept(int index, uint32_t error) {
  AcceptBackoff& backoff = acceptBackoffs[index];
  if (!backoff.pausing())
    log(nullptr, "acpt", "Listener index %d out of descriptors or memory (error %d), pausing its accepts", index,
        static_cast<int>(error));
  platform::postCompletionAfter(completionPort, backoff.nextPause(), 0, 0, &acceptRetryOps[index].record);
}

void Core::onAcceptCompletion(IoOperation* operation, bool ok, uint32_t status) {
  GlobalLock lock;
  for (int index = 0; index < LISTENER_COUNT; ++index) {
    if (operation == &acceptRetryOps[index]) {
      postAccept(index);  // the pause is over
      return;
    }
  }
  const int index = static_cast<int>(operation - listenOps);
  if (ok) {
    if (acceptBackoffs[index].pausing()) {
      acceptBackoffs[index].end();
      log(nullptr, "acpt", "Listener index %d accepts again", index);
    }
    acceptConnection(index);
    return;
  }
  // The socket prepared for the connection is kept for the next try.
  if (isResourceShortage(status)) {
    pauseAccept(index, status);
    return;
  }
  log(nullptr, "acpt", "Restart listener index %d, error=%d", index, static_cast<int>(status));
  platform::closeSocket(acceptSockets[index]);
  acceptSockets[index] = 0;
  postAccept(index);
}

void Core::acceptConnection(int index) {
  sockaddr* local = nullptr;
  sockaddr* peer = nullptr;
  platform::acceptAddresses(acceptBuffers[index], &local, &peer);
  const auto refuse = [&](const char* reason) {
    log(nullptr, "acpt", "%s for the connection accepted on listener index %d", reason, index);
    platform::closeSocket(acceptSockets[index]);
    acceptSockets[index] = 0;
    postAccept(index);
  };
  if (!acceptedClientIdLeft()) return refuse("Every client id in use");
  ZelSession* session = server_ != nullptr ? server_->createSession() : nullptr;
  if (session == nullptr) return refuse("No session");
  const ZelSessionRef hold = session->self_;

  char peerText[64];
  addressToText(peer, peerText, sizeof peerText);
  char url[128];
  std::snprintf(url, sizeof url, "%s%s:%d", LISTENER_SCHEMES[index], peerText, ntohs(sockaddrPort(peer)));
  // Replies are small frames: none may wait for an ACK.
  platform::setNoDelay(acceptSockets[index]);
  auto* connection = new Connection(url, 0, acceptSockets[index], index != 0, session);
  acceptSockets[index] = 0;
  session->connection_ = connection;
  connection->liveCheckIntervalMs = ACCEPTED_LIVE_CHECK_INTERVAL_MS;
  ZelSession*& sessions = serverSeam().sessionList();
  session->nextSession_ = sessions;
  sessions = session;

  switch (index) {
    case 0:
      connection->startHeaderReceive();
      break;
    case 1:
      connection->startHttpReceive();
      break;
    default:
      if (connection->startSsl(true) != 0) connection->close(LocalEvent::ConnectionClosed, "Error starting TLS", 0);
      break;
  }
  postAccept(index);
}

ZelSessionRef Core::getSessionRef(uint16_t clientId) {
  GlobalLock lock;
  for (Connection* connection = connections.first(); connection != nullptr; connection = connection->next)
    if (connection->session != nullptr && connection->clientId == clientId) return connection->session->self_;
  return ZelSessionRef();
}

}  // namespace zelkit::detail
