// Round-trip latency of 20-byte messages over loopback TCP to a plain echo
// peer: with plain blocking sockets, through the completion port with one
// thread doing both the send and the receive, and on the library's request
// path (an application thread starts the send, the worker waiting on the
// port takes the reply and wakes the application thread).
//   bench_completion_port [round trips]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/completion_port.h"
#include "platform/socket.h"
#include "platform/sync.h"

using namespace zelkit::platform;

namespace {

constexpr uint32_t MessageSize = 20;

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
  }
}

bool transfer(int fd, char* data, size_t length, bool sending) {
  while (length > 0) {
    const ssize_t done = sending ? send(fd, data, length, MSG_NOSIGNAL) : recv(fd, data, length, 0);
    if (done <= 0) return false;
    data += done;
    length -= static_cast<size_t>(done);
  }
  return true;
}

void noDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A plain peer that echoes every message until its connection ends.
struct EchoPeer {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  std::thread thread;

  EchoPeer() {
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    require(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 1) == 0 &&
                getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0,
            "echo listener");
    thread = std::thread([this] {
      const int fd = accept(listener, nullptr, nullptr);
      noDelay(fd);
      char message[MessageSize];
      while (transfer(fd, message, sizeof message, false) && transfer(fd, message, sizeof message, true)) {
      }
      ::close(fd);
    });
  }
  ~EchoPeer() {
    thread.join();
    ::close(listener);
  }
};

double microsecondsPerRound(std::chrono::steady_clock::duration elapsed, int rounds) {
  return std::chrono::duration<double, std::micro>(elapsed).count() / rounds;
}

double plainBlocking(int rounds) {
  EchoPeer peer;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  require(connect(fd, reinterpret_cast<sockaddr*>(&peer.address), sizeof peer.address) == 0, "connect");
  noDelay(fd);
  char message[MessageSize] = "ping";
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i)
    require(transfer(fd, message, sizeof message, true) && transfer(fd, message, sizeof message, false), "echo");
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ::close(fd);
  return microsecondsPerRound(elapsed, rounds);
}

Socket portConnection(CompletionPort* port, EchoPeer& peer) {
  const Socket socket = openSocket(AF_INET, SOCK_STREAM, 0);
  require(connectSocket(socket, reinterpret_cast<sockaddr*>(&peer.address), sizeof peer.address) == 0, "connect");
  const int one = 1;
  setSocketOption(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  require(associateSocket(port, socket, 1), "associate");
  return socket;
}

// Waits for completions until the reply is whole, re-posting the receive;
// send completions are taken on the way.
void awaitReply(CompletionPort* port, Socket socket, char* reply, Overlapped& receive) {
  uint32_t got = 0;
  require(startReceive(socket, reply, MessageSize, &receive) == 0, "receive");
  while (got < MessageSize) {
    Completion completion;
    require(waitForCompletion(port, 5000, completion), "completion");
    if (completion.operation != &receive) continue;
    require(completion.bytes > 0, "reply");
    got += completion.bytes;
    if (got < MessageSize) require(startReceive(socket, reply + got, MessageSize - got, &receive) == 0, "receive");
  }
}

double portOneThread(CompletionPort* port, int rounds) {
  EchoPeer peer;
  const Socket socket = portConnection(port, peer);
  char message[MessageSize] = "ping";
  char reply[MessageSize];
  Overlapped send, receive;
  const IoBuffer piece{message, MessageSize};
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    require(startSend(socket, &piece, 1, &send) == 0, "send");
    awaitReply(port, socket, reply, receive);
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  closeSocket(socket);
  return microsecondsPerRound(elapsed, rounds);
}

double portRequestPath(CompletionPort* port, int rounds) {
  EchoPeer peer;
  const Socket socket = portConnection(port, peer);
  Event replied;
  std::thread worker([&] {
    char reply[MessageSize];
    Overlapped receive;
    for (int i = 0; i < rounds; ++i) {
      awaitReply(port, socket, reply, receive);
      replied.set();
    }
  });
  char message[MessageSize] = "ping";
  Overlapped send;
  const IoBuffer piece{message, MessageSize};
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    require(startSend(socket, &piece, 1, &send) == 0, "send");
    replied.wait();
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  worker.join();
  closeSocket(socket);
  return microsecondsPerRound(elapsed, rounds);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 50000;
  require(rounds > 0, "round count");
  CompletionPort* port = createCompletionPort();
  require(port != nullptr, "completion port");
  const double plain = plainBlocking(rounds);
  const double oneThread = portOneThread(port, rounds);
  const double requestPath = portRequestPath(port, rounds);
  std::printf("%d round trips of %u bytes over loopback TCP, microseconds per round trip:\n", rounds, MessageSize);
  std::printf("  plain blocking sockets               %7.2f\n", plain);
  std::printf("  completion port, one thread          %7.2f  (%+.2f)\n", oneThread, oneThread - plain);
  std::printf("  completion port, send from a thread  %7.2f  (%+.2f)\n", requestPath, requestPath - plain);
  return 0;
}
