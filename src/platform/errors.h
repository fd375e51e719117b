#pragma once

#include <cstdint>

// The library branches on and logs the Windows status and socket error
// numbers; the layer maps errno to them at its edge and keeps the native
// errno beside the mapped number for debugging.
namespace zelkit::platform {

namespace status {
// Completion statuses of overlapped operations.
constexpr uint32_t Success = 0;
constexpr uint32_t NetnameDeleted = 64;      // connection reset by the peer
constexpr uint32_t SemTimeout = 121;         // connect timed out
constexpr uint32_t AlreadyExists = 183;
constexpr uint32_t MoreData = 234;           // datagram larger than the buffer
constexpr uint32_t OperationAborted = 995;   // socket closed under the operation
constexpr uint32_t IoPending = 997;
constexpr uint32_t ConnectionRefused = 1225;
constexpr uint32_t NetworkUnreachable = 1231;
constexpr uint32_t HostUnreachable = 1232;
constexpr uint32_t ConnectionAborted = 1236; // aborted by the local system
}  // namespace status

namespace wsa {
// Error numbers of synchronous socket calls.
constexpr uint32_t Interrupted = 10004;
constexpr uint32_t BadHandle = 10009;
constexpr uint32_t Access = 10013;
constexpr uint32_t Fault = 10014;
constexpr uint32_t Invalid = 10022;
constexpr uint32_t TooManyOpen = 10024;
constexpr uint32_t WouldBlock = 10035;
constexpr uint32_t InProgress = 10036;
constexpr uint32_t Already = 10037;
constexpr uint32_t NotSocket = 10038;
constexpr uint32_t DestinationRequired = 10039;
constexpr uint32_t MessageSize = 10040;
constexpr uint32_t ProtocolType = 10041;
constexpr uint32_t NoProtocolOption = 10042;
constexpr uint32_t ProtocolNotSupported = 10043;
constexpr uint32_t NotSupported = 10045;
constexpr uint32_t AddressFamilyNotSupported = 10047;
constexpr uint32_t AddressInUse = 10048;
constexpr uint32_t AddressNotAvailable = 10049;
constexpr uint32_t NetworkDown = 10050;
constexpr uint32_t NetworkUnreachable = 10051;
constexpr uint32_t NetworkReset = 10052;
constexpr uint32_t ConnectionAborted = 10053;
constexpr uint32_t ConnectionReset = 10054;
constexpr uint32_t NoBuffers = 10055;
constexpr uint32_t IsConnected = 10056;
constexpr uint32_t NotConnected = 10057;
constexpr uint32_t Shutdown = 10058;
constexpr uint32_t TimedOut = 10060;
constexpr uint32_t ConnectionRefused = 10061;
constexpr uint32_t HostUnreachable = 10065;
constexpr uint32_t HostNotFound = 11001;
}  // namespace wsa

// Thread-local last error, as GetLastError/WSAGetLastError report it.
uint32_t lastError();
// The errno that produced the last error (0 when it was set directly).
int lastNativeError();
void setLastError(uint32_t error, int nativeError = 0);

// errno -> the number a synchronous socket call reports (wsa::).
uint32_t socketErrorFromErrno(int error);
// errno -> the status a completed overlapped operation reports (status::).
uint32_t completionStatusFromErrno(int error);

// Sets the last error from errno for a synchronous socket call and returns it.
uint32_t setLastSocketErrorFromErrno(int error);

}  // namespace zelkit::platform
