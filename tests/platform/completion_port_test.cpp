#include "platform/completion_port.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include "loopback.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/time.h"

namespace zelkit::platform {
namespace {

using namespace loopback;

constexpr uint32_t NothingMs = 100;  // long enough for a completion that should not come to show up

void expectNoCompletion() {
  const Completion completion = nextCompletion(NothingMs);
  EXPECT_EQ(completion.operation, nullptr) << "unexpected completion, status " << completion.status;
}

Socket joined(Socket socket, uintptr_t key) {
  require(associateSocket(testPort(), socket, key), "associate");
  return socket;
}

// Each case starts one operation that stays outstanding and returns the
// socket to close under it; what it needs lives in the case's resources.
struct Resources {
  Connection connection;
  std::vector<int> plain;
  std::vector<Socket> layer;
  std::vector<uint8_t> data;
  uint8_t addresses[2 * AcceptAddressSlot];
  sockaddr_in from{};
  int fromLength = sizeof from;
  ~Resources() {
    for (int fd : plain) ::close(fd);
    for (Socket s : layer) closeSocket(s);
  }
};

struct OutstandingCase {
  const char* name;
  std::function<Socket(Resources&, Overlapped&)> start;
};

const OutstandingCase outstandingCases[] = {
    {"receive",
     [](Resources& r, Overlapped& op) {
       r.data.assign(64, 0xAB);
       EXPECT_EQ(startReceive(joined(r.connection.layer, 1), r.data.data(), 64, &op), 0u);
       return r.connection.layer;
     }},
    {"send",
     [](Resources& r, Overlapped& op) {
       // More than both small buffers hold, and the peer does not read.
       const int small = 4096;
       setSocketOption(r.connection.layer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
       setsockopt(r.connection.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
       r.data.assign(8 << 20, 0x5A);
       const IoBuffer piece{r.data.data(), static_cast<uint32_t>(r.data.size())};
       EXPECT_EQ(startSend(joined(r.connection.layer, 1), &piece, 1, &op), 0u);
       return r.connection.layer;
     }},
    {"receive-from",
     [](Resources& r, Overlapped& op) {
       const Socket udp = joined(layerBound(SOCK_DGRAM), 1);
       r.data.assign(64, 0);
       EXPECT_EQ(startReceiveFrom(udp, r.data.data(), 64, raw(r.from), &r.fromLength, &op), 0u);
       return udp;
     }},
    {"accept",
     [](Resources& r, Overlapped& op) {
       const Socket listener = joined(layerBound(SOCK_STREAM), 1);
       EXPECT_EQ(listenSocket(listener, 4), 0);
       const Socket prepared = openSocket(AF_INET, SOCK_STREAM, 0);
       r.layer.push_back(prepared);
       EXPECT_EQ(startAccept(listener, prepared, r.addresses, &op), 0u);
       return listener;
     }},
    {"connect",
     [](Resources& r, Overlapped& op) {
       // A listener whose queue is full drops further connection requests,
       // so the connect stays under way.
       const int listener = plainListener(0);
       r.plain.push_back(listener);
       r.plain.push_back(plainConnect(plainPort(listener)));
       const Socket socket = joined(openSocket(AF_INET, SOCK_STREAM, 0), 1);
       sockaddr_in to = address(plainPort(listener));
       EXPECT_EQ(startConnect(socket, raw(to), sizeof to, &op), 0u);
       return socket;
     }},
};

TEST(CompletionPort, CloseCompletesEachOutstandingOperationOnceAsAborted) {
  for (const OutstandingCase& c : outstandingCases) {
    SCOPED_TRACE(c.name);
    Resources resources;
    Overlapped operation;
    const Socket socket = c.start(resources, operation);
    expectNoCompletion();
    const std::vector<uint8_t> before = resources.data;

    ASSERT_EQ(closeSocket(socket), 0);
    if (socket == resources.connection.layer) resources.connection.layer = InvalidSocket;
    const Completion aborted = nextCompletion();
    EXPECT_EQ(aborted.operation, &operation);
    EXPECT_FALSE(aborted.ok);
    EXPECT_EQ(aborted.status, status::OperationAborted);
    EXPECT_EQ(aborted.key, 1u);
    // Data arriving after the close must not land in the buffer.
    send(resources.connection.peer, "late", 4, MSG_NOSIGNAL);
    expectNoCompletion();
    EXPECT_EQ(resources.data, before);
  }
}

TEST(CompletionPort, ReceiveReportsEndOfStreamAndReset) {
  struct Case {
    const char* name;
    bool reset;
    bool ok;
    uint32_t status;
  } const cases[] = {
      {"orderly end", false, true, status::Success},
      {"reset", true, false, status::NetnameDeleted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connection connection;
    joined(connection.layer, 7);
    uint8_t buffer[16];
    Overlapped operation;
    ASSERT_EQ(startReceive(connection.layer, buffer, sizeof buffer, &operation), 0u);
    if (c.reset)
      resetPlain(connection.peer);
    else
      shutdown(connection.peer, SHUT_WR);
    const Completion completion = nextCompletion();
    EXPECT_EQ(completion.operation, &operation);
    EXPECT_EQ(completion.ok, c.ok);
    EXPECT_EQ(completion.status, c.status);
    EXPECT_EQ(completion.bytes, 0u);
    EXPECT_EQ(completion.key, 7u);
  }
}

TEST(CompletionPort, ConnectCompletesWithItsOutcome) {
  const int listener = plainListener();
  RefusingPort refusing;
  struct Case {
    const char* name;
    uint16_t port;
    bool ok;
    uint32_t status;
  } const cases[] = {
      {"listening", plainPort(listener), true, status::Success},
      {"refused", refusing.port, false, status::ConnectionRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Socket socket = joined(openSocket(AF_INET, SOCK_STREAM, 0), 3);
    sockaddr_in to = address(c.port);
    Overlapped operation;
    ASSERT_EQ(startConnect(socket, raw(to), sizeof to, &operation), 0u);
    const Completion completion = nextCompletion();
    EXPECT_EQ(completion.operation, &operation);
    EXPECT_EQ(completion.ok, c.ok);
    EXPECT_EQ(completion.status, c.status);
    expectNoCompletion();
    closeSocket(socket);
  }
  ::close(listener);
}

TEST(CompletionPort, GatherSendAgainstSmallBuffersCompletesOnceWithEveryByte) {
  Connection connection;
  joined(connection.layer, 1);
  const int small = 8192;
  setSocketOption(connection.layer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(connection.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  // Without Nagle's delay the small window does not stall on delayed acknowledgements.
  const int one = 1;
  setSocketOption(connection.layer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  // Eight pieces of different sizes, each byte telling its position.
  std::vector<std::vector<uint8_t>> pieces;
  IoBuffer buffers[8];
  uint32_t total = 0;
  for (int i = 0; i < 8; ++i) {
    std::vector<uint8_t> piece(40000 + 37 * i);
    for (auto& byte : piece) byte = static_cast<uint8_t>((total++ * 7) >> 3);
    pieces.push_back(std::move(piece));
    buffers[i] = {pieces.back().data(), static_cast<uint32_t>(pieces.back().size())};
  }

  std::vector<uint8_t> received(total);
  std::thread slowReader([&] {
    size_t at = 0;
    while (at < received.size()) {
      const ssize_t got = recv(connection.peer, received.data() + at, std::min<size_t>(1500, received.size() - at), 0);
      if (got <= 0) break;
      at += static_cast<size_t>(got);
      if (at % 50 == 0) sleepMilliseconds(1);
    }
  });
  Overlapped operation;
  ASSERT_EQ(startSend(connection.layer, buffers, 8, &operation), 0u);
  const Completion completion = nextCompletion(20000);
  slowReader.join();
  EXPECT_EQ(completion.operation, &operation);
  EXPECT_TRUE(completion.ok);
  EXPECT_EQ(completion.bytes, total);
  expectNoCompletion();
  for (uint32_t i = 0; i < total; ++i) {
    if (received[i] != static_cast<uint8_t>((i * 7) >> 3)) {
      ADD_FAILURE() << "byte " << i << " differs";
      break;
    }
  }
}

TEST(CompletionPort, ReceiveNeverReturnsMoreThanAsked) {
  Connection connection;
  joined(connection.layer, 1);
  const char text[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  ASSERT_EQ(send(connection.peer, text, 36, 0), 36);
  std::string got;
  for (uint32_t asked : {1u, 7u, 3u, 25u}) {
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    Overlapped operation;
    ASSERT_EQ(startReceive(connection.layer, buffer, asked, &operation), 0u);
    const Completion completion = nextCompletion();
    ASSERT_TRUE(completion.ok);
    EXPECT_GE(completion.bytes, 1u);
    EXPECT_LE(completion.bytes, asked);
    EXPECT_EQ(buffer[asked], '#') << "wrote past the length asked for";
    got.append(buffer, completion.bytes);
  }
  EXPECT_EQ(got, std::string(text, got.size()));
}

TEST(CompletionPort, DatagramLargerThanBufferCompletesWithMoreData) {
  for (bool withSender : {false, true}) {
    SCOPED_TRACE(withSender ? "receive-from" : "receive");
    const Socket udp = joined(layerBound(SOCK_DGRAM), 1);
    const int sender = plainBound(SOCK_DGRAM);
    char buffer[8];
    sockaddr_in from{};
    int fromLength = sizeof from;
    Overlapped operation;
    ASSERT_EQ(withSender ? startReceiveFrom(udp, buffer, sizeof buffer, raw(from), &fromLength, &operation)
                         : startReceive(udp, buffer, sizeof buffer, &operation),
              0u);
    sockaddr_in to = address(layerPort(udp));
    ASSERT_EQ(sendto(sender, "0123456789", 10, 0, raw(to), sizeof to), 10);
    const Completion completion = nextCompletion();
    EXPECT_FALSE(completion.ok);
    EXPECT_EQ(completion.status, status::MoreData);
    EXPECT_EQ(completion.bytes, sizeof buffer);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "01234567");
    if (withSender) {
      EXPECT_EQ(fromLength, static_cast<int>(sizeof from));
      EXPECT_EQ(ntohs(from.sin_port), plainPort(sender));
      EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    }
    ::close(sender);
    closeSocket(udp);
  }
}

TEST(CompletionPort, DatagramReceivesOnOneSocketCompleteInTheirOrder) {
  const Socket udp = joined(layerBound(SOCK_DGRAM), 1);
  constexpr int Count = 4;
  char buffers[Count][16];
  Overlapped operations[Count];
  for (int i = 0; i < Count; ++i) ASSERT_EQ(startReceive(udp, buffers[i], sizeof buffers[i], &operations[i]), 0u);
  const int sender = plainBound(SOCK_DGRAM);
  sockaddr_in to = address(layerPort(udp));
  for (int i = 0; i < Count; ++i) {
    const char text[2] = {static_cast<char>('a' + i), 0};
    ASSERT_EQ(sendto(sender, text, 1, 0, raw(to), sizeof to), 1);
  }
  for (int i = 0; i < Count; ++i) {
    const Completion completion = nextCompletion();
    EXPECT_EQ(completion.operation, &operations[i]);
    EXPECT_EQ(completion.bytes, 1u);
    EXPECT_EQ(buffers[i][0], 'a' + i);
  }
  ::close(sender);
  closeSocket(udp);
}

TEST(CompletionPort, HungUpSocketDoesNotSpinTheWaiter) {
  Connection connection;
  joined(connection.layer, 1);
  char buffer[8];
  Overlapped operation;
  ASSERT_EQ(startReceive(connection.layer, buffer, sizeof buffer, &operation), 0u);
  resetPlain(connection.peer);
  ASSERT_EQ(nextCompletion().operation, &operation);

  // Nothing is outstanding on the hung-up socket now: the waiter sleeps.
  double cpuMs = 0;
  std::thread waiter([&] {
    timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    Completion completion;
    EXPECT_FALSE(waitForCompletion(testPort(), 300, completion));
    EXPECT_EQ(completion.operation, nullptr);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    cpuMs = (end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6;
  });
  waiter.join();
  EXPECT_LT(cpuMs, 100.0);
}

TEST(CompletionPort, AcceptFillsThePreparedSocketAndBothAddresses) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    sockaddr_in6 any{};
    any.sin6_family = static_cast<sa_family_t>(family);
    if (family == AF_INET)
      reinterpret_cast<sockaddr_in&>(any).sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    else
      any.sin6_addr = in6addr_loopback;
    const Socket listener = openSocket(family, SOCK_STREAM, 0);
    ASSERT_EQ(bindSocket(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listenSocket(listener, 4), 0);
    joined(listener, 1);
    sockaddr_in6 listening{};
    int length = sizeof listening;
    ASSERT_EQ(localAddress(listener, reinterpret_cast<sockaddr*>(&listening), &length), 0);

    const Socket prepared = openSocket(family, SOCK_STREAM, 0);
    uint8_t addresses[2 * AcceptAddressSlot];
    Overlapped operation;
    ASSERT_EQ(startAccept(listener, prepared, addresses, &operation), 0u);

    const int client = socket(family, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&listening), length), 0);
    sockaddr_in6 clientAddress{};
    socklen_t clientLength = sizeof clientAddress;
    getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &clientLength);

    const Completion completion = nextCompletion();
    ASSERT_EQ(completion.operation, &operation);
    ASSERT_TRUE(completion.ok);
    sockaddr* local;
    sockaddr* peer;
    acceptAddresses(addresses, &local, &peer);
    EXPECT_EQ(std::memcmp(local, &listening, static_cast<size_t>(length)), 0);
    EXPECT_EQ(std::memcmp(peer, &clientAddress, clientLength), 0);

    // The prepared handle is now the connection.
    sockaddr_in6 seen{};
    int seenLength = sizeof seen;
    ASSERT_EQ(peerAddress(prepared, reinterpret_cast<sockaddr*>(&seen), &seenLength), 0);
    EXPECT_EQ(std::memcmp(&seen, &clientAddress, clientLength), 0);
    ASSERT_EQ(send(client, "hi", 2, 0), 2);
    char buffer[4];
    joined(prepared, 2);
    Overlapped receive;
    ASSERT_EQ(startReceive(prepared, buffer, sizeof buffer, &receive), 0u);
    const Completion received = nextCompletion();
    EXPECT_EQ(received.operation, &receive);
    EXPECT_EQ(received.key, 2u);
    EXPECT_EQ(std::string(buffer, received.bytes), "hi");

    ::close(client);
    closeSocket(prepared);
    closeSocket(listener);
  }
}

TEST(CompletionPort, PostsAreTakenByLaterWaitsInOrder) {
  Overlapped records[3];
  for (int i = 0; i < 3; ++i) {
    records[i].ticket = 50u + i;
    postCompletion(testPort(), 10 + i, 100 + i, &records[i]);
  }
  for (int i = 0; i < 3; ++i) {
    const Completion completion = nextCompletion();
    EXPECT_TRUE(completion.ok);
    EXPECT_EQ(completion.operation, &records[i]);
    EXPECT_EQ(completion.ticket, 50u + i);
    EXPECT_EQ(completion.bytes, 10u + i);
    EXPECT_EQ(completion.key, 100u + i);
  }

  // A post wakes a thread that already waits.
  Completion taken;
  std::thread waiter([&] { waitForCompletion(testPort(), WaitForever, taken); });
  sleepMilliseconds(30);
  postCompletion(testPort(), 5, 6, &records[0]);
  waiter.join();
  EXPECT_EQ(taken.operation, &records[0]);
  EXPECT_EQ(taken.key, 6u);
}

TEST(CompletionPort, DelayedPostsComeWhenDueInTheirTimeOrder) {
  using Clock = std::chrono::steady_clock;
  Overlapped late;
  Overlapped soon;
  Overlapped now;
  const auto posted = Clock::now();
  postCompletionAfter(testPort(), 80, 1, 2, &late);
  postCompletionAfter(testPort(), 20, 3, 4, &soon);
  postCompletion(testPort(), 5, 6, &now);
  EXPECT_EQ(nextCompletion().operation, &now);
  EXPECT_EQ(nextCompletion(1).operation, nullptr) << "a delayed post came before its time";

  const Completion first = nextCompletion();
  EXPECT_GE(Clock::now() - posted, std::chrono::milliseconds(20));
  EXPECT_EQ(first.operation, &soon);
  EXPECT_TRUE(first.ok);
  EXPECT_EQ(first.bytes, 3u);
  EXPECT_EQ(first.key, 4u);
  EXPECT_EQ(nextCompletion().operation, &late);
  EXPECT_GE(Clock::now() - posted, std::chrono::milliseconds(80));

  // A thread that waits without limit takes a delayed post made after it
  // fell asleep.
  Completion taken;
  std::thread waiter([&] { waitForCompletion(testPort(), WaitForever, taken); });
  sleepMilliseconds(30);
  postCompletionAfter(testPort(), 30, 7, 8, &soon);
  waiter.join();
  EXPECT_EQ(taken.operation, &soon);
  EXPECT_EQ(taken.key, 8u);
}

TEST(CompletionPort, CompletionOfAClosedSocketDoesNotReachItsSuccessor) {
  Connection first;
  joined(first.layer, 1);
  char buffer[16];
  Overlapped operation;
  operation.ticket = 1;
  ASSERT_EQ(startReceive(first.layer, buffer, sizeof buffer, &operation), 0u);
  const Socket oldHandle = first.layer;
  const int listener = plainListener();
  closeSocket(first.layer);
  first.layer = InvalidSocket;

  // The same record at once on a new socket, which likely gets the same number.
  const Socket second = openSocket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(second, oldHandle) << "the handle was not reused; the test proves less";
  sockaddr_in to = address(plainPort(listener));
  ASSERT_EQ(connectSocket(second, raw(to), sizeof to), 0);
  int peer = accept(listener, nullptr, nullptr);
  joined(second, 2);
  operation.ticket = 2;
  ASSERT_EQ(startReceive(second, buffer, sizeof buffer, &operation), 0u);
  send(first.peer, "old", 3, 0);
  send(peer, "new", 3, 0);

  // Each completion carries the ticket of its own start, whatever the
  // record holds now.
  const Completion aborted = nextCompletion();
  EXPECT_EQ(aborted.key, 1u);
  EXPECT_EQ(aborted.ticket, 1u);
  EXPECT_EQ(aborted.status, status::OperationAborted);
  const Completion received = nextCompletion();
  EXPECT_EQ(received.key, 2u);
  EXPECT_EQ(received.ticket, 2u);
  EXPECT_TRUE(received.ok);
  EXPECT_EQ(std::string(buffer, received.bytes), "new");
  expectNoCompletion();
  closeSocket(second);
  ::close(peer);
  ::close(listener);
}

// The library's request path: application threads start sends while the
// worker waits on the port and keeps a receive outstanding per connection.
TEST(CompletionPort, StartsFromOtherThreadsWhileOneThreadWaits) {
  constexpr int Connections = 4;
  constexpr int Messages = 300;
  constexpr uint32_t MessageSize = 20;
  struct Line {
    Connection connection;
    Overlapped send, receive;
    Event sent;
    char incoming[64];
    std::string echoed;
  };
  std::vector<std::unique_ptr<Line>> lines;
  for (int i = 0; i < Connections; ++i) {
    lines.push_back(std::make_unique<Line>());
    joined(lines[i]->connection.layer, static_cast<uintptr_t>(i));
  }

  // Plain peers echo what they get.
  std::vector<std::thread> peers;
  for (auto& line : lines) {
    peers.emplace_back([fd = line->connection.peer] {
      char buffer[512];
      for (;;) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0 || send(fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL) != got) return;
      }
    });
  }

  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (auto& line : lines)
      ASSERT_EQ(startReceive(line->connection.layer, line->incoming, sizeof line->incoming, &line->receive), 0u);
    size_t expected = static_cast<size_t>(Connections) * Messages * MessageSize;
    size_t echoed = 0;
    while (echoed < expected) {
      Completion completion;
      if (!waitForCompletion(testPort(), 10000, completion) && completion.operation == nullptr) {
        ADD_FAILURE() << "no completion for 10 s";
        break;
      }
      Line& line = *lines[completion.key];
      if (completion.operation == &line.send) {
        EXPECT_EQ(completion.bytes, MessageSize);
        line.sent.set();
      } else {
        ASSERT_EQ(completion.operation, &line.receive);
        ASSERT_TRUE(completion.ok && completion.bytes > 0);
        line.echoed.append(line.incoming, completion.bytes);
        echoed += completion.bytes;
        ASSERT_EQ(startReceive(line.connection.layer, line.incoming, sizeof line.incoming, &line.receive), 0u);
      }
    }
    done = true;
  });

  std::vector<std::thread> senders;
  for (auto& line : lines) {
    senders.emplace_back([&line = *line] {
      for (int m = 0; m < Messages; ++m) {
        char message[MessageSize];
        std::snprintf(message, sizeof message, "%019d", m);
        const IoBuffer piece{message, MessageSize};
        ASSERT_EQ(startSend(line.connection.layer, &piece, 1, &line.send), 0u);
        ASSERT_TRUE(line.sent.waitFor(10000));
      }
    });
  }
  for (auto& sender : senders) sender.join();
  worker.join();
  EXPECT_TRUE(done);
  for (auto& line : lines) {
    std::string expected;
    for (int m = 0; m < Messages; ++m) {
      char message[MessageSize];
      std::snprintf(message, sizeof message, "%019d", m);
      expected.append(message, MessageSize);
    }
    EXPECT_EQ(line->echoed, expected);
    shutdown(line->connection.peer, SHUT_RDWR);
  }
  for (auto& peer : peers) peer.join();
}

}  // namespace
}  // namespace zelkit::platform
