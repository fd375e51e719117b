#include <cstddef>

#include "core/wire/exception_table.h"
#include "zelkit/exceptions.h"

// Each class has one instance, kept in Exception::list. A throw site
// `throw new X` gets that instance from X's operator new and rebuilds it with
// X's constructor, so a handler that deleted it (which only ran the
// destructor: X's operator delete keeps the memory) does no harm.

namespace zelkit {

// Every code with a class of its own; the text of class NameException is "zelkit::Name".
#define ZELKIT_EXCEPTION_CLASSES(X)                                                              \
  X(InvalidVersion) X(NotRegistered) X(InvalidClientId) X(InvalidMethod) X(InvalidCmd)           \
  X(InvalidAccessType) X(InvalidDatatType) X(WriteError) X(PacketSizeError) X(ReadNotSupported) \
  X(InvalidAuthorizationLevel) X(InvalidSessionId) X(RetryLater) X(UnknownError)                \
  X(ResponseTimeout) X(BadParameter) X(InvalidAddress) X(AddressNotFound) X(ExtensionMismatch)  \
  X(ConnectionError)

Exception* Exception::list[detail::ExceptionSlotCount] = {};

namespace {

void* instanceOf(ErrorCodes code) {
  if (Exception::list[code] == nullptr) Exception::list[code] = new Exception(code);
  return Exception::list[code];
}

// Rebuilds the instance of a code in place (its pointer stays the same);
// null for a code without a class.
Exception* rebuildInstance(int code) {
  switch (code) {
#define ZELKIT_REBUILD(Name) \
  case Name:                 \
    return new Name##Exception;
    ZELKIT_EXCEPTION_CLASSES(ZELKIT_REBUILD)
#undef ZELKIT_REBUILD
    default:
      return nullptr;
  }
}

}  // namespace

Exception::Exception(ErrorCodes code) : code(code) {}
Exception::Exception(const Exception& other) : std::exception(other), code(other.code) {}
Exception::~Exception() {}
const char* Exception::what() const noexcept { return "zelkit::Exception"; }
Exception** Exception::getList() { return list; }

void Exception::doThrow(int code) {
  // Codes from local errors reach 0x1FF, beyond the table.
  if (code >= 0 && code < detail::ExceptionSlotCount && list[code] != nullptr) {
    if (Exception* instance = rebuildInstance(code)) throw instance;
  }
  throw new UnknownErrorException;
}

#define ZELKIT_DEFINE_EXCEPTION(Name)                                                          \
  static_assert(sizeof(Name##Exception) == sizeof(Exception), "instances share one slot size"); \
  Name##Exception::Name##Exception() : Exception(Name) {}                                      \
  Name##Exception::~Name##Exception() {}                                                       \
  const char* Name##Exception::what() const noexcept { return "zelkit::" #Name; }              \
  void* Name##Exception::operator new(std::size_t) { return instanceOf(Name); }                \
  void Name##Exception::operator delete(void*) noexcept {}

ZELKIT_EXCEPTION_CLASSES(ZELKIT_DEFINE_EXCEPTION)
#undef ZELKIT_DEFINE_EXCEPTION

namespace detail {

void preallocateExceptions() {
  new UnknownErrorException;
  new InvalidVersionException;
  new NotRegisteredException;
  new InvalidClientIdException;
  new InvalidMethodException;
  new InvalidCmdException;
  new InvalidAccessTypeException;
  new InvalidDatatTypeException;
  new WriteErrorException;
  new PacketSizeErrorException;
  new ReadNotSupportedException;
  new InvalidAuthorizationLevelException;
  new InvalidSessionIdException;
  new RetryLaterException;
  new ResponseTimeoutException;
  new InvalidAddressException;
  new ExtensionMismatchException;
}

}  // namespace detail

}  // namespace zelkit
