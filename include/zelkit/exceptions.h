#pragma once

/// \file
/// Error codes and the library's exception family.

#include <cstddef>
#include <exception>

#include "zelkit/export.h"

namespace zelkit {

/// Error codes of failed requests. Codes below 0x100 come from a device's
/// error reply; codes from 0x100 up are set by the library itself. A
/// synchronous request throws the exception of its code; an asynchronous one
/// finds the code in ZelHeader::errorCode.
enum ErrorCodes {
  InvalidVersion = 0x10,             ///< Device: the protocol version is not supported.
  NotRegistered = 0x20,              ///< Device: the client has not registered.
  InvalidClientId = 0x21,            ///< Device: the client id is not known.
  InvalidMethod = 0x30,              ///< Device: the method is not supported.
  InvalidCmd = 0x40,                 ///< Device: no such command (also the server's answer to a word without handler).
  InvalidAccessType = 0x50,          ///< Device: the access type is not allowed.
  InvalidDatatType = 0x60,           ///< Device: the data type does not fit the command.
  WriteError = 0x70,                 ///< Device: the value could not be written.
  PacketSizeError = 0x80,            ///< Device: the payload has the wrong size.
  ReadNotSupported = 0x90,           ///< Device: the value cannot be read.
  InvalidAuthorizationLevel = 0xA0,  ///< Device: the login's privilege level does not allow it.
  InvalidSessionId = 0xB0,           ///< Device: the session id is not known.
  RetryLater = 0xC0,                 ///< Device: busy, try again later.
  UnknownError = 0xFF,               ///< Device: any other failure; also every code without a class of its own.
  ResponseTimeout = 0x101,           ///< The request got no reply in time.
  BadParameter = 0x102,              ///< A read past the end of a stream, a bad host id or address, a payload too large.
  InvalidAddress = 0x104,            ///< The connection's address cannot be used.
  AddressNotFound = 0x105,           ///< NetworkScanner::getDeviceDetails: no such device in the last scan.
  ExtensionMismatch = 0x106,         ///< The fragments of a reply did not belong together.
  ConnectionReset = 0x107,           ///< The connection closed while the request waited (thrown as UnknownErrorException).
  ConnectionError = 0x108,           ///< A media stream's socket could not be set up.
};

/// Base of the library's exceptions.
///
/// They are thrown by pointer: `catch (zelkit::Exception* error)`. Each class
/// has one instance per process, reused for every throw, which the catcher
/// never frees (deleting it is harmless: the instance stays for the next
/// throw). The library's throws only read the instance, so threads may
/// catch and read the same one at once; `new` of a class (as in
/// `throw new BadParameterException`) builds it again in place, which is
/// not safe while another thread reads it. Failures that a device reports,
/// and those of synchronous requests, are thrown with the static type
/// `zelkit::Exception*` through doThrow, so catch the base class and look at
/// its `code`; only BadParameterException, AddressNotFoundException and
/// ConnectionErrorException are also thrown with their own class.
class ZELKIT_API Exception : public std::exception {
 public:
  /// Makes a plain exception of the code; the library's own throws use the
  /// derived classes and doThrow instead.
  /// \param code The error code.
  explicit Exception(ErrorCodes code);
  /// Copies the code; the copy is a plain Exception.
  /// \param other The exception to copy.
  Exception(const Exception& other);
  /// Runs when a catcher deletes the exception; the instance stays reusable.
  virtual ~Exception();
  /// The name of the class's code.
  /// \return "zelkit::Exception" here, "zelkit::" and the code's name (such
  ///         as "zelkit::ResponseTimeout") in the derived classes.
  virtual const char* what() const noexcept;

  /// Throws the instance of the code as a `zelkit::Exception*`; a code
  /// without an instance yet, or without a class, throws the
  /// UnknownErrorException instance.
  /// \param code An ErrorCodes value, or any other number.
  /// \throws Exception* always.
  static void doThrow(int code);

  /// The error code of this exception.
  ErrorCodes code;

  /// One slot per code value: the instance of that code's class, or null
  /// until it is made (most at the library's start, the others at their
  /// first throw).
  static Exception* list[];

 protected:
  /// \return The table #list.
  static Exception** getList();
};

/// Declares the exception class Name of one code: a constructor giving its
/// code, what() with its own text ("zelkit::" and the code's name), and
/// class-level new and delete that reuse the class's one instance.
#define ZELKIT_DECLARE_EXCEPTION(Name)                  \
  class ZELKIT_API Name : public Exception {            \
   public:                                              \
    Name();                                             \
    virtual ~Name();                                    \
    virtual const char* what() const noexcept;          \
    static void* operator new(std::size_t size);        \
    static void operator delete(void* instance) noexcept; \
  };

/// The device's error reply InvalidVersion (0x10).
ZELKIT_DECLARE_EXCEPTION(InvalidVersionException)
/// The device's error reply NotRegistered (0x20).
ZELKIT_DECLARE_EXCEPTION(NotRegisteredException)
/// The device's error reply InvalidClientId (0x21).
ZELKIT_DECLARE_EXCEPTION(InvalidClientIdException)
/// The device's error reply InvalidMethod (0x30).
ZELKIT_DECLARE_EXCEPTION(InvalidMethodException)
/// The device's error reply InvalidCmd (0x40).
ZELKIT_DECLARE_EXCEPTION(InvalidCmdException)
/// The device's error reply InvalidAccessType (0x50).
ZELKIT_DECLARE_EXCEPTION(InvalidAccessTypeException)
/// The device's error reply InvalidDatatType (0x60).
ZELKIT_DECLARE_EXCEPTION(InvalidDatatTypeException)
/// The device's error reply WriteError (0x70).
ZELKIT_DECLARE_EXCEPTION(WriteErrorException)
/// The device's error reply PacketSizeError (0x80).
ZELKIT_DECLARE_EXCEPTION(PacketSizeErrorException)
/// The device's error reply ReadNotSupported (0x90).
ZELKIT_DECLARE_EXCEPTION(ReadNotSupportedException)
/// The device's error reply InvalidAuthorizationLevel (0xA0).
ZELKIT_DECLARE_EXCEPTION(InvalidAuthorizationLevelException)
/// The device's error reply InvalidSessionId (0xB0).
ZELKIT_DECLARE_EXCEPTION(InvalidSessionIdException)
/// The device's error reply RetryLater (0xC0).
ZELKIT_DECLARE_EXCEPTION(RetryLaterException)
/// The device's error reply UnknownError (0xFF), and every code without a
/// class or without an instance yet (ConnectionReset among them).
ZELKIT_DECLARE_EXCEPTION(UnknownErrorException)
/// A request that got no reply in time (ResponseTimeout, 0x101).
ZELKIT_DECLARE_EXCEPTION(ResponseTimeoutException)
/// A stream read past its end, a bad host id or address family, or a
/// request whose payload and value table reach 65504 bytes (BadParameter,
/// 0x102). Also thrown with this class as its static type.
ZELKIT_DECLARE_EXCEPTION(BadParameterException)
/// A request on a connection whose address cannot be used (InvalidAddress, 0x104).
ZELKIT_DECLARE_EXCEPTION(InvalidAddressException)
/// NetworkScanner::getDeviceDetails found no such device (AddressNotFound,
/// 0x105). Thrown with this class as its static type.
ZELKIT_DECLARE_EXCEPTION(AddressNotFoundException)
/// The last fragment of a reply did not belong to the ones before it
/// (ExtensionMismatch, 0x106).
ZELKIT_DECLARE_EXCEPTION(ExtensionMismatchException)
/// A media stream's local socket could not be set up (ConnectionError,
/// 0x108). Thrown with this class as its static type.
ZELKIT_DECLARE_EXCEPTION(ConnectionErrorException)

#undef ZELKIT_DECLARE_EXCEPTION

}  // namespace zelkit
