#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/engine/event.h"
#include "core/engine/list.h"
#include "core/engine/lock.h"
#include "core/wire/packet.h"

namespace zelkit::detail {
namespace {

std::vector<ZelPacket*> packetsOf(ZelPacket* head) {
  std::vector<ZelPacket*> all;
  for (; head != nullptr; head = head->pNext) all.push_back(head);
  return all;
}

struct Item {
  Item* next = nullptr;
};

TEST(List, RemoveFindsOnlyLinkedElements) {
  Item a, b, c;
  List<Item> list;
  EXPECT_EQ(list.remove(&a), -1);
  EXPECT_EQ(list.popFront(), nullptr);
  list.pushFront(&b);
  list.pushFront(&a);
  EXPECT_EQ(list.remove(&c), -1);
  EXPECT_EQ(list.first(), &a);
  EXPECT_EQ(list.remove(&b), 0);
  EXPECT_EQ(list.remove(&b), -1);
  EXPECT_EQ(list.popFront(), &a);
  EXPECT_TRUE(list.isEmpty());
}

TEST(List, AppendAllJoinsAChainInOrder) {
  ZelPacket* p[5];
  for (ZelPacket*& packet : p) packet = ZelPacket::alloc(0);
  const int live = ZelPacket::liveCount();
  {
    List<ZelPacket> queue;
    queue.append(p[0]);
    queue.append(p[1]);
    PacketChain chain(p[4]);
    chain.pushFront(p[3]);
    chain.pushFront(p[2]);
    EXPECT_EQ(chain.count(), 3);
    PacketChain taken(chain);  // hand-over empties the source
    EXPECT_EQ(chain.count(), 0);
    queue.appendAll(taken);
    EXPECT_EQ(taken.first(), nullptr);
    EXPECT_EQ(packetsOf(queue.first()), std::vector<ZelPacket*>(p, p + 5));
  }
  EXPECT_EQ(ZelPacket::liveCount(), live - 5) << "a packet list frees what it still holds";
}

TEST(List, ChainOfOnePacketClearsItsLink) {
  ZelPacket* a = ZelPacket::alloc(0);
  ZelPacket* b = ZelPacket::alloc(0);
  a->pNext = b;
  PacketChain chain(a);
  EXPECT_EQ(chain.count(), 1);
  EXPECT_EQ(chain.popFront(), a);
  EXPECT_EQ(chain.popFront(), nullptr);
  ZelPacket::free(a);
  ZelPacket::free(b);
}

// True when another thread gets the library lock within the time.
bool otherThreadGetsGlobalLock(std::chrono::milliseconds patience) {
  std::atomic<bool> got{false};
  std::thread other([&] {
    GlobalLock guard;
    got = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!got && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const bool result = got;
  // Let the other thread finish, whoever holds the lock now.
  const int depth = releaseGlobalCompletely();
  other.join();
  reacquireGlobal(depth);
  return result;
}

TEST(GlobalLock, NestedGuardsHoldUntilLeftAsOftenAsEntered) {
  {
    GlobalLock outer;
    {
      GlobalLock inner;
      EXPECT_TRUE(globalLockHeld());
    }
    EXPECT_TRUE(globalLockHeld());
    EXPECT_FALSE(otherThreadGetsGlobalLock(std::chrono::milliseconds(50)));
  }
  EXPECT_FALSE(globalLockHeld());
  EXPECT_TRUE(otherThreadGetsGlobalLock(std::chrono::seconds(30)));
}

TEST(GlobalLock, ReleasedCompletelyAroundAWait) {
  lockGlobal();
  lockGlobal();
  const int depth = releaseGlobalCompletely();
  EXPECT_EQ(depth, 2);
  EXPECT_FALSE(globalLockHeld());
  EXPECT_TRUE(otherThreadGetsGlobalLock(std::chrono::seconds(30)));
  reacquireGlobal(depth);
  unlockGlobal();
  EXPECT_TRUE(globalLockHeld());
  unlockGlobal();
  EXPECT_FALSE(globalLockHeld());
}

TEST(CriticalSection, GuardEntersAndLeaves) {
  CriticalSection section;
  {
    CriticalSectionLock guard(&section);
    section.enter();  // recursive for its owner
    section.leave();
  }
  std::thread other([&] {
    CriticalSectionLock guard(&section);
  });
  other.join();
}

TEST(Event, PooledEventsAreReused) {
  Event* first = Event::acquire();
  void* handle = first->handle();
  Event::release(first);
  Event* again = Event::acquire();
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->handle(), handle);
  Event* other = Event::acquire();
  EXPECT_NE(other, again);
  Event::release(other);
  Event::release(again);
}

TEST(Event, ASignalBeforeTheWaitIsKeptAndResetsItself) {
  Event* event = Event::acquire();
  signalEvent(event->handle());
  event->wait();  // returns at once

  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    event->wait();
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(woke) << "auto-reset: the first wait took the signal";
  event->signal();
  waiter.join();
  EXPECT_TRUE(woke);
  Event::release(event);
}

TEST(Event, SignallingNoEventPrintsTheFailure) {
  testing::internal::CaptureStdout();
  signalEvent(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Notify 0x0 error 6\n");
}

}  // namespace
}  // namespace zelkit::detail
