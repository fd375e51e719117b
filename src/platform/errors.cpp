#include "platform/errors.h"

#include <cerrno>

namespace zelkit::platform {

namespace {
thread_local uint32_t lastErrorNumber = 0;
thread_local int lastErrno = 0;
}  // namespace

uint32_t lastError() { return lastErrorNumber; }
int lastNativeError() { return lastErrno; }

void setLastError(uint32_t error, int nativeError) {
  lastErrorNumber = error;
  lastErrno = nativeError;
}

uint32_t socketErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case EINTR: return wsa::Interrupted;
    case EBADF: return wsa::BadHandle;
    case EACCES:
    case EPERM: return wsa::Access;
    case EFAULT: return wsa::Fault;
    case EINVAL: return wsa::Invalid;
    case EMFILE:
    case ENFILE: return wsa::TooManyOpen;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return wsa::WouldBlock;
    case EINPROGRESS: return wsa::WouldBlock;  // a non-blocking connect under way, as Winsock reports it
    case EALREADY: return wsa::Already;
    case ENOTSOCK: return wsa::NotSocket;
    case EDESTADDRREQ: return wsa::DestinationRequired;
    case EMSGSIZE: return wsa::MessageSize;
    case EPROTOTYPE: return wsa::ProtocolType;
    case ENOPROTOOPT: return wsa::NoProtocolOption;
    case EPROTONOSUPPORT: return wsa::ProtocolNotSupported;
    case EOPNOTSUPP: return wsa::NotSupported;
    case EAFNOSUPPORT: return wsa::AddressFamilyNotSupported;
    case EADDRINUSE: return wsa::AddressInUse;
    case EADDRNOTAVAIL: return wsa::AddressNotAvailable;
    case ENETDOWN: return wsa::NetworkDown;
    case ENETUNREACH: return wsa::NetworkUnreachable;
    case ENETRESET: return wsa::NetworkReset;
    case ECONNABORTED: return wsa::ConnectionAborted;
    case ECONNRESET:
    case EPIPE: return wsa::ConnectionReset;
    case ENOBUFS:
    case ENOMEM: return wsa::NoBuffers;
    case EISCONN: return wsa::IsConnected;
    case ENOTCONN: return wsa::NotConnected;
    case ESHUTDOWN: return wsa::Shutdown;
    case ETIMEDOUT: return wsa::TimedOut;
    case ECONNREFUSED: return wsa::ConnectionRefused;
    case EHOSTUNREACH: return wsa::HostUnreachable;
    default: return wsa::Invalid;
  }
}

uint32_t completionStatusFromErrno(int error) {
  switch (error) {
    case 0: return status::Success;
    case ECONNRESET:
    case EPIPE:
    case ENETRESET: return status::NetnameDeleted;
    case ECONNREFUSED: return status::ConnectionRefused;
    case EHOSTUNREACH:
    case EHOSTDOWN: return status::HostUnreachable;
    case ENETUNREACH:
    case ENETDOWN: return status::NetworkUnreachable;
    case ECONNABORTED: return status::ConnectionAborted;
    case ETIMEDOUT: return status::SemTimeout;
    case EMSGSIZE: return status::MoreData;
    default: return socketErrorFromErrno(error);
  }
}

uint32_t setLastSocketErrorFromErrno(int error) {
  const uint32_t mapped = socketErrorFromErrno(error);
  setLastError(mapped, error);
  return mapped;
}

}  // namespace zelkit::platform
