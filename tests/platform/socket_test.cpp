#include "platform/socket.h"

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include "loopback.h"
#include "platform/errors.h"
#include "platform/socket_table.h"
#include "platform/time.h"

namespace zelkit::platform {
namespace {

using namespace loopback;

// A call blocked on a socket returns when another thread closes the socket.
TEST(Socket, CloseWakesABlockedCall) {
  struct Case {
    const char* name;
    std::function<int(Socket)> blockingCall;
    int expected;  // what the woken call returns
  } const cases[] = {
      {"receive",
       [](Socket s) {
         char buffer[8];
         return receiveBytes(s, buffer, sizeof buffer);
       },
       -1},
      {"select",
       [](Socket s) {
         bool ready = false;
         const int result = selectReadable(&s, 1, &ready, -1);
         return ready ? result : -2;
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Connection connection;
    std::atomic<bool> returned{false};
    int result = 0;
    uint32_t error = 0;
    std::thread blocked([&] {
      result = c.blockingCall(connection.layer);
      error = lastError();
      returned = true;
    });
    sleepMilliseconds(50);
    EXPECT_FALSE(returned) << "the call did not block";
    ASSERT_EQ(closeSocket(connection.layer), 0);
    connection.layer = InvalidSocket;
    blocked.join();
    EXPECT_EQ(result, c.expected);
    if (c.expected < 0) {
      EXPECT_EQ(error, wsa::Interrupted);
    }
  }
}

// While a call still holds the socket (as a blocked receive does), the close
// must not free the descriptor number for a new socket.
TEST(Socket, ClosedNumberIsNotReusedWhileACallHoldsIt) {
  const Socket closing = openSocket(AF_INET, SOCK_DGRAM, 0);
  SocketUse use(closing);
  ASSERT_TRUE(use.valid());
  ASSERT_EQ(closeSocket(closing), 0);
  EXPECT_FALSE(use.stillOpen());
  const Socket during = openSocket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_NE(during, closing);
  use.release();
  const Socket after = openSocket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_EQ(after, closing) << "the number is free once the call has left";
  closeSocket(during);
  closeSocket(after);
}

TEST(Socket, SendInBlockingModeReturnsOnlyWhenEveryByteIsOut) {
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    Connection connection;
    const int small = 8192;
    setSocketOption(connection.layer, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(setNonBlocking(connection.layer, nonBlocking), 0);
    std::vector<char> data(1 << 20, 'x');
    std::atomic<size_t> read{0};
    std::thread reader([&] {
      char buffer[65536];
      ssize_t got;
      while ((got = recv(connection.peer, buffer, sizeof buffer, 0)) > 0) read += static_cast<size_t>(got);
    });
    const int sent = sendBytes(connection.layer, data.data(), static_cast<int>(data.size()));
    if (nonBlocking) {
      EXPECT_TRUE(sent == -1 ? lastError() == wsa::WouldBlock : sent < static_cast<int>(data.size()));
    } else {
      EXPECT_EQ(sent, static_cast<int>(data.size()));
    }
    closeSocket(connection.layer);
    connection.layer = InvalidSocket;
    reader.join();
    if (!nonBlocking) {
      EXPECT_EQ(read.load(), data.size());
    }
  }
}

TEST(Socket, ReceiveWithoutDataWaitsOnlyInBlockingMode) {
  Connection connection;
  char buffer[8];
  ASSERT_EQ(setNonBlocking(connection.layer, true), 0);
  EXPECT_EQ(receiveBytes(connection.layer, buffer, sizeof buffer), -1);
  EXPECT_EQ(lastError(), wsa::WouldBlock);

  ASSERT_EQ(setNonBlocking(connection.layer, false), 0);
  std::thread late([&] {
    sleepMilliseconds(30);
    send(connection.peer, "abc", 3, 0);
  });
  EXPECT_EQ(receiveBytes(connection.layer, buffer, sizeof buffer, true), 3);  // peek leaves the bytes
  EXPECT_EQ(receiveBytes(connection.layer, buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  late.join();
}

TEST(Socket, SendOnAResetConnectionFailsWithoutASignal) {
  Connection connection;
  resetPlain(connection.peer);
  sleepMilliseconds(20);
  int result = 0;
  for (int i = 0; i < 3 && result >= 0; ++i) result = sendBytes(connection.layer, "data", 4);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(lastError(), wsa::ConnectionReset);
}

TEST(Socket, ListenerRebindsItsPortWhileConnectionsAreInTimeWait) {
  const Socket listener = layerBound(SOCK_STREAM);
  const uint16_t port = layerPort(listener);
  ASSERT_EQ(listenSocket(listener, 4), 0);
  const int client = plainConnect(port);
  sockaddr_in peer{};
  socklen_t peerLength = sizeof peer;
  // Accept with a plain call on the layer's descriptor: the test needs the
  // server side to close first, which leaves it in TIME_WAIT.
  int accepted;
  do accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength);
  while (accepted < 0 && errno == EAGAIN);
  ASSERT_GE(accepted, 0);
  ::close(accepted);
  char byte;
  recv(client, &byte, 1, 0);  // the end of stream: the server's close has gone out
  closeSocket(listener);
  ::close(client);

  const Socket again = openSocket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in same = address(port);
  EXPECT_EQ(bindSocket(again, raw(same), sizeof same), 0) << "error " << lastError();
  EXPECT_EQ(listenSocket(again, 4), 0);
  closeSocket(again);
}

TEST(Socket, BindingAPortInUseFailsWithAddressInUse) {
  const int holder = plainListener();
  const Socket socket = openSocket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in same = address(plainPort(holder));
  EXPECT_EQ(bindSocket(socket, raw(same), sizeof same), -1);
  EXPECT_EQ(lastError(), wsa::AddressInUse);
  closeSocket(socket);
  ::close(holder);
}

TEST(Socket, IPv6SocketsLeaveIPv4Alone) {
  const Socket v6 = openSocket(AF_INET6, SOCK_DGRAM, 0);
  sockaddr_in6 any6{};
  any6.sin6_family = AF_INET6;
  ASSERT_EQ(bindSocket(v6, reinterpret_cast<sockaddr*>(&any6), sizeof any6), 0);
  int length = sizeof any6;
  ASSERT_EQ(localAddress(v6, reinterpret_cast<sockaddr*>(&any6), &length), 0);
  // The same port on the IPv4 any-address is still free.
  const Socket v4 = openSocket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any4{};
  any4.sin_family = AF_INET;
  any4.sin_port = any6.sin6_port;
  EXPECT_EQ(bindSocket(v4, raw(any4), sizeof any4), 0) << "error " << lastError();
  closeSocket(v4);
  closeSocket(v6);
}

TEST(Socket, OneByteOptionsAreWidened) {
  struct Case {
    const char* name;
    int type, level, option;
  } const cases[] = {
      {"SO_BROADCAST", SOCK_DGRAM, SOL_SOCKET, SO_BROADCAST},
      {"SO_REUSEADDR", SOCK_DGRAM, SOL_SOCKET, SO_REUSEADDR},
      {"TCP_NODELAY", SOCK_STREAM, IPPROTO_TCP, TCP_NODELAY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Socket socket = openSocket(AF_INET, c.type, 0);
    for (unsigned char value : {1, 0}) {
      ASSERT_EQ(setSocketOption(socket, c.level, c.option, &value, 1), 0) << "error " << lastError();
      int readBack = -1;
      socklen_t size = sizeof readBack;
      ASSERT_EQ(getsockopt(socket, c.level, c.option, &readBack, &size), 0);
      EXPECT_EQ(readBack != 0, value != 0);
      unsigned char narrow = 0xEE;
      int narrowLength = 1;
      ASSERT_EQ(getSocketOption(socket, c.level, c.option, &narrow, &narrowLength), 0);
      EXPECT_EQ(narrow != 0, value != 0);
    }
    closeSocket(socket);
  }
}

TEST(Socket, DatagramLargerThanBufferFailsWithMessageSize) {
  const Socket udp = layerBound(SOCK_DGRAM);
  const int sender = plainBound(SOCK_DGRAM);
  sockaddr_in to = address(layerPort(udp));
  ASSERT_EQ(sendto(sender, "0123456789", 10, 0, raw(to), sizeof to), 10);
  char buffer[4];
  sockaddr_in from{};
  int fromLength = sizeof from;
  EXPECT_EQ(receiveDatagram(udp, buffer, sizeof buffer, raw(from), &fromLength), -1);
  EXPECT_EQ(lastError(), wsa::MessageSize);
  EXPECT_EQ(std::string(buffer, 4), "0123");
  ::close(sender);
  closeSocket(udp);
}

TEST(Socket, SelectReportsOnlyTheReadySocketsOfUpTo64) {
  std::vector<Socket> sockets;
  for (int i = 0; i < SelectMaxSockets; ++i) sockets.push_back(layerBound(SOCK_DGRAM));
  bool ready[SelectMaxSockets + 1];
  EXPECT_EQ(selectReadable(sockets.data(), SelectMaxSockets, ready, 20), 0);

  const int sender = plainBound(SOCK_DGRAM);
  sockaddr_in to = address(layerPort(sockets[41]));
  ASSERT_EQ(sendto(sender, "x", 1, 0, raw(to), sizeof to), 1);
  ASSERT_EQ(selectReadable(sockets.data(), SelectMaxSockets, ready, 2000), 1);
  for (int i = 0; i < SelectMaxSockets; ++i) EXPECT_EQ(ready[i], i == 41) << "socket " << i;

  sockets.push_back(sockets[0]);
  EXPECT_EQ(selectReadable(sockets.data(), SelectMaxSockets + 1, ready, 0), -1);
  EXPECT_EQ(lastError(), wsa::Invalid);
  sockets.pop_back();
  ::close(sender);
  for (Socket s : sockets) closeSocket(s);
}

// As on Windows, a connect shows as writable only when it succeeded.
TEST(Socket, SelectShowsAConnectWritableOnlyWhenItSucceeded) {
  const int listener = plainListener();
  RefusingPort refusing;
  struct Case {
    const char* name;
    uint16_t port;
    int expected;
  } const cases[] = {
      {"succeeded", plainPort(listener), 1},
      {"refused", refusing.port, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Socket socket = openSocket(AF_INET, SOCK_STREAM, 0);
    setNonBlocking(socket, true);
    sockaddr_in to = address(c.port);
    const int started = connectSocket(socket, raw(to), sizeof to);
    EXPECT_TRUE(started == 0 || lastError() == wsa::WouldBlock);
    bool writable = false;
    const uint32_t before = tickCount();
    EXPECT_EQ(selectSockets(nullptr, 0, nullptr, &socket, 1, &writable, 300), c.expected);
    EXPECT_EQ(writable, c.expected == 1);
    if (c.expected == 0) {
      EXPECT_GE(static_cast<int32_t>(tickCount() - before), 250) << "returned early";
    }
    closeSocket(socket);
  }
  ::close(listener);
}

TEST(Socket, BlockingConnectReportsRefusal) {
  RefusingPort refusing;
  const Socket socket = openSocket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = address(refusing.port);
  EXPECT_EQ(connectSocket(socket, raw(to), sizeof to), -1);
  EXPECT_EQ(lastError(), wsa::ConnectionRefused);
  closeSocket(socket);
}

TEST(Socket, HandleIsNeverZero) {
  ::close(0);  // the lowest free descriptor is now 0
  const Socket socket = openSocket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_GT(socket, 0);
  EXPECT_NE(fcntl(0, F_GETFD), -1) << "descriptor 0 is left free for the next socket";
  const Socket next = openSocket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_GT(next, 0);
  closeSocket(socket);
  closeSocket(next);
}

TEST(Socket, StaleHandlesAreRefused) {
  const Socket socket = openSocket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_EQ(closeSocket(socket), 0);
  EXPECT_EQ(closeSocket(socket), -1);
  EXPECT_EQ(lastError(), wsa::NotSocket);
  EXPECT_EQ(sendDatagram(socket, "x", 1, nullptr, 0), -1);
  EXPECT_EQ(lastError(), wsa::NotSocket);
}

}  // namespace
}  // namespace zelkit::platform
