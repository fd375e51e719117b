#include "zelkit/exceptions.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/wire/exception_table.h"
#include "zelkit/streams.h"

namespace zelkit {
namespace {

// What doThrow throws, caught the way applications catch it.
Exception* thrownBy(int code) {
  try {
    Exception::doThrow(code);
  } catch (Exception* e) {
    return e;
  }
  return nullptr;
}

// What the library's direct throw sites throw.
template <typename X>
X* thrownDirectly() {
  try {
    throw detail::sharedException<X>();
  } catch (X* e) {
    return e;
  }
}

// An application throwing a class itself.
template <typename X>
X* thrownWithNew() {
  try {
    throw new X;
  } catch (X* e) {
    return e;
  }
}

class Exceptions : public testing::Test {
 protected:
  void SetUp() override { detail::preallocateExceptions(); }
};

TEST_F(Exceptions, EveryCodeWithAnInstanceThrowsItsClass) {
  struct Case {
    int code;
    const char* text;
  } cases[] = {
      {0x10, "zelkit::InvalidVersion"},       {0x20, "zelkit::NotRegistered"},
      {0x21, "zelkit::InvalidClientId"},      {0x30, "zelkit::InvalidMethod"},
      {0x40, "zelkit::InvalidCmd"},           {0x50, "zelkit::InvalidAccessType"},
      {0x60, "zelkit::InvalidDatatType"},     {0x70, "zelkit::WriteError"},
      {0x80, "zelkit::PacketSizeError"},      {0x90, "zelkit::ReadNotSupported"},
      {0xA0, "zelkit::InvalidAuthorizationLevel"}, {0xB0, "zelkit::InvalidSessionId"},
      {0xC0, "zelkit::RetryLater"},           {0xFF, "zelkit::UnknownError"},
      {0x101, "zelkit::ResponseTimeout"},     {0x104, "zelkit::InvalidAddress"},
      {0x106, "zelkit::ExtensionMismatch"},
  };
  for (const Case& c : cases) {
    Exception* e = thrownBy(c.code);
    ASSERT_NE(e, nullptr) << c.code;
    EXPECT_EQ(e->code, c.code);
    EXPECT_STREQ(e->what(), c.text);
    EXPECT_EQ(e, Exception::list[c.code]);
  }
}

TEST_F(Exceptions, DirectlyThrownClassesGetTheirInstanceAtTheFirstThrow) {
  EXPECT_STREQ(thrownBy(0x102)->what(), "zelkit::UnknownError");
  EXPECT_STREQ(thrownBy(0x105)->what(), "zelkit::UnknownError");
  EXPECT_STREQ(thrownBy(0x108)->what(), "zelkit::UnknownError");

  Exception* badParameter = thrownDirectly<BadParameterException>();
  Exception* notFound = thrownDirectly<AddressNotFoundException>();
  Exception* connection = thrownDirectly<ConnectionErrorException>();
  EXPECT_STREQ(badParameter->what(), "zelkit::BadParameter");
  EXPECT_STREQ(notFound->what(), "zelkit::AddressNotFound");
  EXPECT_STREQ(connection->what(), "zelkit::ConnectionError");
  EXPECT_EQ(thrownBy(0x102), badParameter);
  EXPECT_EQ(thrownBy(0x105), notFound);
  EXPECT_EQ(thrownBy(0x108), connection);
}

TEST_F(Exceptions, CodesWithoutAClassThrowUnknownError) {
  // 0x1FF and 0x200: a local error carries any payload byte plus 0x100.
  for (int code : {0x00, 0x11, 0xF0, 0x100, 0x107, 0x109, 0x1FF, 0x200, -1}) {
    Exception* e = thrownBy(code);
    ASSERT_NE(e, nullptr) << code;
    EXPECT_EQ(e, Exception::list[UnknownError]) << code;
    EXPECT_STREQ(e->what(), "zelkit::UnknownError") << code;
  }
}

TEST_F(Exceptions, DoThrowHasTheStaticTypeOfTheBase) {
  bool caughtAsDerived = false;
  bool caughtAsBase = false;
  try {
    try {
      Exception::doThrow(0x40);
    } catch (InvalidCmdException*) {
      caughtAsDerived = true;
    }
  } catch (Exception* e) {
    caughtAsBase = e->code == InvalidCmd;
  }
  EXPECT_FALSE(caughtAsDerived);
  EXPECT_TRUE(caughtAsBase);

  try {
    Exception::doThrow(0x101);
  } catch (std::exception* e) {
    EXPECT_STREQ(e->what(), "zelkit::ResponseTimeout");
  }
}

TEST_F(Exceptions, EveryThrowDeliversTheSameInstance) {
  BadParameterException* first = thrownDirectly<BadParameterException>();
  EXPECT_EQ(thrownDirectly<BadParameterException>(), first);
  EXPECT_EQ(thrownBy(0x102), first);
  EXPECT_EQ(thrownWithNew<BadParameterException>(), first);
  EXPECT_STREQ(first->what(), "zelkit::BadParameter");
  EXPECT_EQ(thrownBy(0x40), thrownBy(0x40));
  EXPECT_EQ(thrownWithNew<InvalidCmdException>(), thrownBy(0x40));
}

TEST_F(Exceptions, NewOfAClassWithoutAnInstanceYetMakesIt) {
  AddressNotFoundException* made = thrownWithNew<AddressNotFoundException>();
  EXPECT_EQ(Exception::list[AddressNotFound], made);
  EXPECT_EQ(thrownBy(0x105), made);
  EXPECT_STREQ(made->what(), "zelkit::AddressNotFound");
}

TEST_F(Exceptions, AHandlerThatDeletesTheInstanceDoesNoHarm) {
  Exception* cmd = thrownBy(0x40);
  delete cmd;  // runs the destructor only; the slot keeps its memory
  EXPECT_EQ(Exception::list[InvalidCmd], cmd);
  Exception* again = thrownBy(0x40);
  EXPECT_EQ(again, cmd);
  EXPECT_STREQ(again->what(), "zelkit::InvalidCmd");
  EXPECT_EQ(again->code, InvalidCmd);

  BadParameterException* bad = thrownDirectly<BadParameterException>();
  delete bad;
  delete thrownBy(0x102);  // the instance doThrow rebuilt, deleted again
  EXPECT_EQ(thrownDirectly<BadParameterException>(), bad);
  EXPECT_STREQ(bad->what(), "zelkit::BadParameter");
}

// What a read past the end of a stream throws: the library's own direct throw.
BadParameterException* thrownByAReadPastTheEnd() {
  try {
    ZelInputStream empty;
    empty.readOctet();
  } catch (BadParameterException* e) {
    return e;
  }
  return nullptr;
}

// Threads throw the same codes at once, directly and through doThrow, and
// read what they caught while the others throw. ConnectionError has no
// instance before its first direct throw, so doThrow(0x108) may give either
// class while the first direct throws race to make it; InvalidCmd was
// deleted by a catcher, so the first throws race to build it again.
TEST_F(Exceptions, ThreadsThrowingOneCodeAtOnceSeeAnIntactInstance) {
  delete thrownBy(0x40);
  constexpr int kThreads = 8;
  constexpr int kRounds = 3000;
  std::atomic<int> ready{0};
  std::atomic<int> wrong{0};
  auto expect = [&](Exception* e, ErrorCodes code, const char* text) {
    if (e == nullptr || e->code != code || std::strcmp(e->what(), text) != 0) ++wrong;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < kRounds; ++i) {
        switch ((t + i) % 5) {
          case 0:
            expect(thrownByAReadPastTheEnd(), BadParameter, "zelkit::BadParameter");
            break;
          case 1: {
            Exception* e = thrownBy(0x102);
            if (e != Exception::list[UnknownError]) expect(e, BadParameter, "zelkit::BadParameter");
            break;
          }
          case 2:
            expect(thrownBy(0x40), InvalidCmd, "zelkit::InvalidCmd");
            break;
          case 3:
            expect(thrownDirectly<ConnectionErrorException>(), ConnectionError, "zelkit::ConnectionError");
            break;
          case 4: {
            Exception* e = thrownBy(0x108);
            if (e == Exception::list[UnknownError])
              expect(e, UnknownError, "zelkit::UnknownError");
            else
              expect(e, ConnectionError, "zelkit::ConnectionError");
            break;
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(thrownByAReadPastTheEnd(), Exception::list[BadParameter]);
  EXPECT_EQ(thrownDirectly<ConnectionErrorException>(), Exception::list[ConnectionError]);
}

TEST_F(Exceptions, ACopyIsAPlainException) {
  const Exception copy(*thrownBy(0x101));
  EXPECT_EQ(copy.code, ResponseTimeout);
  EXPECT_STREQ(copy.what(), "zelkit::Exception");
}

}  // namespace
}  // namespace zelkit
