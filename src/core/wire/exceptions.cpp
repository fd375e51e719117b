#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>

#include "common/never_destroyed.h"
#include "core/wire/exception_table.h"
#include "zelkit/exceptions.h"

// Each class has one instance, kept in Exception::list and shared by every
// thread. It is built once and afterwards only read by the library's
// throws, so two threads may throw and catch it at the same time. A catcher
// that deletes it runs the destructor only (operator delete keeps the
// memory); the destructor marks the instance, and the next throw of its
// code builds it again: the only write after the first build.

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

// Serialises the writes: a first build, and a rebuild after a delete.
detail::NeverDestroyed<std::mutex> buildLock;
// Set when a catcher deleted the instance of a code; cleared once rebuilt.
std::atomic<bool> rebuildPending[detail::ExceptionSlotCount];

std::atomic_ref<Exception*> slotOf(int code) { return std::atomic_ref<Exception*>(Exception::list[code]); }

// Builds the class of a code in the given memory.
Exception* buildAt(int code, void* memory) {
  switch (code) {
#define ZELKIT_BUILD(Name) \
  case Name:               \
    return ::new (memory) Name##Exception;
    ZELKIT_EXCEPTION_CLASSES(ZELKIT_BUILD)
#undef ZELKIT_BUILD
    default:  // no class, so no instance to build
      return nullptr;
  }
}

// Runs in the destructor of every class: a catcher deleted the table's
// instance, which the next throw of its code builds again.
void noteDestroyed(ErrorCodes code, const Exception* object) {
  if (slotOf(code).load(std::memory_order_acquire) == object)
    rebuildPending[code].store(true, std::memory_order_release);
}

// The instance in a slot, ready to throw (rebuilt first if a catcher
// deleted it); null while the slot is empty.
Exception* readyInstance(int code) {
  Exception* instance = slotOf(code).load(std::memory_order_acquire);
  if (instance != nullptr && rebuildPending[code].load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> guard(buildLock.get());
    if (rebuildPending[code].load(std::memory_order_relaxed)) {
      buildAt(code, instance);
      rebuildPending[code].store(false, std::memory_order_release);
    }
  }
  return instance;
}

// The instance of a code with a class, made at the first call.
Exception* instanceOf(ErrorCodes code) {
  if (Exception* instance = readyInstance(code)) return instance;
  std::lock_guard<std::mutex> guard(buildLock.get());
  Exception* instance = slotOf(code).load(std::memory_order_relaxed);
  if (instance == nullptr) {
    instance = buildAt(code, ::operator new(sizeof(Exception)));
    slotOf(code).store(instance, std::memory_order_release);
  }
  return instance;
}

template <typename X>
struct CodeOf;
#define ZELKIT_CODE_OF(Name)                          \
  template <>                                         \
  struct CodeOf<Name##Exception> {                    \
    static constexpr ErrorCodes value = Name;         \
  };
ZELKIT_EXCEPTION_CLASSES(ZELKIT_CODE_OF)
#undef ZELKIT_CODE_OF

}  // namespace

template <typename X>
X* detail::sharedException() {
  return static_cast<X*>(instanceOf(CodeOf<X>::value));
}

Exception::Exception(ErrorCodes code) : code(code) {}
Exception::Exception(const Exception& other) : std::exception(other), code(other.code) {}
Exception::~Exception() {}
const char* Exception::what() const noexcept { return "zelkit::Exception"; }
Exception** Exception::getList() { return list; }

void Exception::doThrow(int code) {
  // Codes from local errors reach 0x1FF, beyond the table.
  if (code >= 0 && code < detail::ExceptionSlotCount) {
    if (Exception* instance = readyInstance(code)) throw instance;
  }
  throw detail::sharedException<UnknownErrorException>();
}

// Class-level new (an application's `throw new X`) hands out the instance,
// which X's constructor then builds again in place.
#define ZELKIT_DEFINE_EXCEPTION(Name)                                                          \
  static_assert(sizeof(Name##Exception) == sizeof(Exception), "instances share one slot size"); \
  Name##Exception::Name##Exception() : Exception(Name) {}                                      \
  Name##Exception::~Name##Exception() { noteDestroyed(Name, this); }                           \
  const char* Name##Exception::what() const noexcept { return "zelkit::" #Name; }              \
  void* Name##Exception::operator new(std::size_t) { return instanceOf(Name); }                \
  void Name##Exception::operator delete(void*) noexcept {}                                     \
  template Name##Exception* detail::sharedException<Name##Exception>();

ZELKIT_EXCEPTION_CLASSES(ZELKIT_DEFINE_EXCEPTION)
#undef ZELKIT_DEFINE_EXCEPTION

namespace detail {

void preallocateExceptions() {
  for (ErrorCodes code : {UnknownError, InvalidVersion, NotRegistered, InvalidClientId, InvalidMethod, InvalidCmd,
                          InvalidAccessType, InvalidDatatType, WriteError, PacketSizeError, ReadNotSupported,
                          InvalidAuthorizationLevel, InvalidSessionId, RetryLater, ResponseTimeout, InvalidAddress,
                          ExtensionMismatch})
    instanceOf(code);
}

}  // namespace detail

}  // namespace zelkit
