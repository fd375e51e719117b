#pragma once

#include <cstdint>

#include <netinet/in.h>
#include <sys/socket.h>

// Synchronous socket calls with the Windows semantics the library relies on.
// Descriptors are non-blocking underneath; "blocking" mode (the default) is
// emulated, and a blocked call wakes when another thread closes the socket.
// Failures return -1 (counts) or non-zero (status calls) and set lastError()
// to the wsa:: number.
namespace zelkit::platform {

struct IoBuffer {
  const void* data;
  uint32_t length;
};

// The most buffers one gathered send takes (the system's limit).
constexpr int MaxSendBuffers = 1024;

using Socket = int32_t;
// The library uses 0 for "no socket"; a socket handle is never 0.
constexpr Socket InvalidSocket = -1;

// Socket of the native family (AF_INET, AF_INET6), type and protocol.
// IPv6 sockets are IPv6-only and stream sockets can rebind an address in
// TIME_WAIT, as on Windows.
Socket openSocket(int family, int type, int protocol);

// ICMP echo socket: raw when the process may open one, else the
// unprivileged datagram ICMP socket. Either way every received packet starts
// with a 20-byte IPv4 header (synthesised for the datagram socket), so
// callers parse replies one way.
Socket openIcmpSocket();

// Closes the socket: outstanding overlapped operations complete with
// status::OperationAborted, and calls blocked in it return, failing with
// wsa::Interrupted (a select reports it ready). The descriptor itself is
// released once the last such call has left, so its number is not reused
// under them.
int closeSocket(Socket socket);

int bindSocket(Socket socket, const sockaddr* address, int length);
int listenSocket(Socket socket, int backlog);
// In blocking mode waits for the connect; in non-blocking mode fails with
// wsa::WouldBlock while it is under way.
int connectSocket(Socket socket, const sockaddr* address, int length);
// FIONBIO: true switches to non-blocking mode.
int setNonBlocking(Socket socket, bool nonBlocking);

// send(): in blocking mode returns only once every byte is written (or on
// error); in non-blocking mode writes what the socket takes. Never raises
// SIGPIPE.
int sendBytes(Socket socket, const void* data, int length);
// recv(): 0 on an orderly end of stream; peek leaves the bytes queued.
int receiveBytes(Socket socket, void* buffer, int length, bool peek = false);
// The same, waiting as in blocking mode whatever the socket's mode: the
// synchronous reads and writes of a server's HTTP handlers on sockets that
// the library otherwise drives with overlapped operations.
int sendBytesWaiting(Socket socket, const void* data, int length);
int receiveBytesWaiting(Socket socket, void* buffer, int length, bool peek = false);
// One receive of what is queued now, never waiting whatever the mode: fails
// with wsa::WouldBlock when nothing is, and with wsa::MessageSize (the
// datagram dropped) when a datagram is longer than the buffer.
int receiveAvailable(Socket socket, void* buffer, int length);
// One gathered send of what the socket takes now (up to MaxSendBuffers
// buffers), never waiting whatever the mode: the bytes written, or -1 (with
// wsa::WouldBlock when it takes nothing now). moreFollows: the caller writes
// more at once, so a stream socket may hold a last partial segment for it.
int sendAvailable(Socket socket, const IoBuffer* buffers, int count, bool moreFollows = false);
int sendDatagram(Socket socket, const void* data, int length, const sockaddr* to, int toLength);
int receiveDatagram(Socket socket, void* buffer, int length, sockaddr* from, int* fromLength);

// setsockopt/getsockopt; a one-byte value is widened to int where Linux
// expects one.
int setSocketOption(Socket socket, int level, int option, const void* value, int length);
int getSocketOption(Socket socket, int level, int option, void* value, int* length);
// TCP_NODELAY on: a small write leaves at once instead of waiting until the
// peer acknowledged the last one. 0 on success.
int setNoDelay(Socket socket);

int localAddress(Socket socket, sockaddr* address, int* length);
int peerAddress(Socket socket, sockaddr* address, int* length);

// Waits until one of up to 64 sockets is readable (data, end of stream,
// error, a pending accept, or the socket was closed). timeoutMs < 0 waits
// without limit. ready[i] tells which. Returns the number ready, 0 on
// time-out, -1 on error.
constexpr int SelectMaxSockets = 64;
int selectReadable(const Socket* sockets, int count, bool* ready, int timeoutMs);
// The same with a write set (up to 64 more): a socket is writable once its
// connect completed and it can take data. As on Windows, a socket whose
// connect failed is not reported writable. Either set may be empty.
int selectSockets(const Socket* readSockets, int readCount, bool* readReady, const Socket* writeSockets,
                  int writeCount, bool* writeReady, int timeoutMs);

// gethostname; 0 on success.
int hostName(char* buffer, int size);

// getaddrinfo with all-zero hints; the first result's address (IPv4 or IPv6,
// 28 bytes at most) goes to out. 0 on success, else the error number.
int resolveFirstAddress(const char* host, sockaddr_in6* out);

// WSAStringToAddressA: text (no brackets) of the family into out; false on failure.
bool textToAddress(int family, const char* text, sockaddr* out, int length);
// WSAAddressToStringA: IPv4 "a.b.c.d[:port]", IPv6 "addr[%scope]" or
// "[addr[%scope]]:port" when the port is not 0. outLength holds the buffer
// size in and the text length including its terminator out. False when the
// family is unknown or the buffer is too small.
bool addressToText(const sockaddr* address, char* out, uint32_t* outLength);
// inet_addr: the address in network order, 0xFFFFFFFF for text it cannot read.
uint32_t inetAddr(const char* text);

}  // namespace zelkit::platform
