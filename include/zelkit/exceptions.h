#pragma once

#include <cstddef>
#include <exception>

#include "zelkit/export.h"

namespace zelkit {

// Codes below 0x100 come from a device's error reply; codes from 0x100 up
// are set by the library itself.
enum ErrorCodes {
  InvalidVersion = 0x10,
  NotRegistered = 0x20,
  InvalidClientId = 0x21,
  InvalidMethod = 0x30,
  InvalidCmd = 0x40,
  InvalidAccessType = 0x50,
  InvalidDatatType = 0x60,
  WriteError = 0x70,
  PacketSizeError = 0x80,
  ReadNotSupported = 0x90,
  InvalidAuthorizationLevel = 0xA0,
  InvalidSessionId = 0xB0,
  RetryLater = 0xC0,
  UnknownError = 0xFF,
  ResponseTimeout = 0x101,
  BadParameter = 0x102,
  InvalidAddress = 0x104,
  AddressNotFound = 0x105,
  ExtensionMismatch = 0x106,
  ConnectionReset = 0x107,
  ConnectionError = 0x108,
};

// Base of the library's exceptions. They are thrown by pointer; each class
// has one instance per process, reused for every throw, which the catcher
// never frees (deleting it is harmless: the instance stays for the next throw).
class ZELKIT_API Exception : public std::exception {
 public:
  explicit Exception(ErrorCodes code);
  Exception(const Exception& other);
  virtual ~Exception();
  virtual const char* what() const noexcept;

  // Throws the instance of the code as a zelkit::Exception*; a code without
  // an instance throws the UnknownErrorException instance.
  static void doThrow(int code);

  ErrorCodes code;

  // One slot per code value: the instance of that code's class, or null.
  static Exception* list[];

 protected:
  static Exception** getList();
};

#define ZELKIT_DECLARE_EXCEPTION(Name)                  \
  class ZELKIT_API Name : public Exception {            \
   public:                                              \
    Name();                                             \
    virtual ~Name();                                    \
    virtual const char* what() const noexcept;          \
    static void* operator new(std::size_t size);        \
    static void operator delete(void* instance) noexcept; \
  };

ZELKIT_DECLARE_EXCEPTION(InvalidVersionException)
ZELKIT_DECLARE_EXCEPTION(NotRegisteredException)
ZELKIT_DECLARE_EXCEPTION(InvalidClientIdException)
ZELKIT_DECLARE_EXCEPTION(InvalidMethodException)
ZELKIT_DECLARE_EXCEPTION(InvalidCmdException)
ZELKIT_DECLARE_EXCEPTION(InvalidAccessTypeException)
ZELKIT_DECLARE_EXCEPTION(InvalidDatatTypeException)
ZELKIT_DECLARE_EXCEPTION(WriteErrorException)
ZELKIT_DECLARE_EXCEPTION(PacketSizeErrorException)
ZELKIT_DECLARE_EXCEPTION(ReadNotSupportedException)
ZELKIT_DECLARE_EXCEPTION(InvalidAuthorizationLevelException)
ZELKIT_DECLARE_EXCEPTION(InvalidSessionIdException)
ZELKIT_DECLARE_EXCEPTION(RetryLaterException)
ZELKIT_DECLARE_EXCEPTION(UnknownErrorException)
ZELKIT_DECLARE_EXCEPTION(ResponseTimeoutException)
ZELKIT_DECLARE_EXCEPTION(BadParameterException)
ZELKIT_DECLARE_EXCEPTION(InvalidAddressException)
ZELKIT_DECLARE_EXCEPTION(AddressNotFoundException)
ZELKIT_DECLARE_EXCEPTION(ExtensionMismatchException)
ZELKIT_DECLARE_EXCEPTION(ConnectionErrorException)

#undef ZELKIT_DECLARE_EXCEPTION

}  // namespace zelkit
