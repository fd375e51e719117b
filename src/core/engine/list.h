#pragma once

#include <type_traits>

#include "core/wire/packet.h"

namespace zelkit::detail {

template <typename T>
class List;

// Which field links a T into a List<T>: a member named `next` unless specialised.
template <typename T>
struct ListLink {
  static T*& next(T* item) { return item->next; }
};

template <>
struct ListLink<ZelPacket> {
  static ZelPacket*& next(ZelPacket* packet) { return packet->pNext; }
};

template <>
struct ListLink<ZelInputStream> {
  static ZelInputStream*& next(ZelInputStream* stream) { return stream->next_; }
};

// A group of packets linked through pNext on its way into a send queue.
// Owns nothing.
class PacketChain {
 public:
  PacketChain() = default;
  explicit PacketChain(ZelPacket* packet);
  PacketChain(PacketChain& other);
  PacketChain& operator=(const PacketChain&) = delete;

  // The packets linked behind head, their links kept.
  static PacketChain linked(ZelPacket* head) { return PacketChain(head, KeepLinks{}); }
  // Gives the packets up, still linked: returns the head and leaves the chain empty.
  ZelPacket* release();

  ZelPacket* popFront();
  ZelPacket* first() const { return head_; }
  int count() const;
  void pushFront(ZelPacket* packet);

 private:
  friend class List<ZelPacket>;
  struct KeepLinks {};
  PacketChain(ZelPacket* head, KeepLinks) : head_(head) {}
  ZelPacket* head_ = nullptr;
};

// Intrusive singly linked list over elements that carry their own link. It
// never allocates; a list of packets frees the packets still linked when it
// is destroyed. It knows its last element, so appending costs the same
// however long the list is.
template <typename T>
class List {
 public:
  constexpr List() = default;
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  ~List();

  void pushFront(T* item) {
    ListLink<T>::next(item) = head_;
    head_ = item;
    if (tail_ == nullptr) tail_ = item;
  }
  void append(T* item) {
    ListLink<T>::next(item) = nullptr;
    if (tail_ != nullptr)
      ListLink<T>::next(tail_) = item;
    else
      head_ = item;
    tail_ = item;
  }
  // Links the chain's packets behind the last element and leaves the chain
  // empty; only the chain is walked.
  void appendAll(PacketChain& chain);
  T* popFront() {
    T* item = head_;
    if (item != nullptr) {
      head_ = ListLink<T>::next(item);
      if (head_ == nullptr) tail_ = nullptr;
    }
    return item;
  }
  // 0 when the element was found and unlinked, -1 when it is not in the list.
  int remove(T* item) {
    T* previous = nullptr;
    for (T** link = &head_; *link != nullptr; link = &ListLink<T>::next(*link)) {
      if (*link == item) {
        *link = ListLink<T>::next(item);
        if (tail_ == item) tail_ = previous;
        return 0;
      }
      previous = *link;
    }
    return -1;
  }
  // Unlinks item, which follows previous (null: item is the first), in
  // constant time: for walks that remove as they go.
  void removeAfter(T* previous, T* item) {
    T*& link = previous != nullptr ? ListLink<T>::next(previous) : head_;
    link = ListLink<T>::next(item);
    if (tail_ == item) tail_ = previous;
  }
  T* first() const { return head_; }
  T* last() const { return tail_; }
  bool isEmpty() const { return head_ == nullptr; }

 private:
  T* head_ = nullptr;
  T* tail_ = nullptr;
};

template <typename T>
List<T>::~List() {
  if constexpr (std::is_same_v<T, ZelPacket>) {
    while (ZelPacket* packet = popFront()) ZelPacket::free(packet);
  }
}

template <typename T>
void List<T>::appendAll(PacketChain& chain) {
  static_assert(std::is_same_v<T, ZelPacket>, "only packet lists take chains");
  ZelPacket* first = chain.head_;
  if (first == nullptr) return;
  ZelPacket* lastOfChain = first;
  while (lastOfChain->pNext != nullptr) lastOfChain = lastOfChain->pNext;
  if (tail_ != nullptr)
    tail_->pNext = first;
  else
    head_ = first;
  tail_ = lastOfChain;
  chain.head_ = nullptr;
}

// The packets a connection has handed to its socket and that wait for their
// reply or for their send to complete. Doubly linked through pNext and
// pPrevLink, so that a reply found by its transaction id, or a packet whose
// send completed, leaves it in constant time. It never allocates; it frees
// the packets still linked when it is destroyed.
class PendingList {
 public:
  PendingList() = default;
  PendingList(const PendingList&) = delete;
  PendingList& operator=(const PendingList&) = delete;
  ~PendingList() {
    while (ZelPacket* packet = popFront()) ZelPacket::free(packet);
  }

  void pushFront(ZelPacket* packet) {
    packet->pNext = head_;
    if (head_ != nullptr) head_->pPrevLink = &packet->pNext;
    packet->pPrevLink = &head_;
    head_ = packet;
  }
  ZelPacket* popFront() {
    ZelPacket* packet = head_;
    if (packet != nullptr) unlink(packet);
    return packet;
  }
  // 0 when the packet was linked here and is unlinked now, -1 when it is not
  // in the list.
  int remove(ZelPacket* packet) {
    if (!contains(packet)) return -1;
    unlink(packet);
    return 0;
  }
  // A packet is in at most one pending list, and only there has a back link.
  static bool contains(const ZelPacket* packet) { return packet->pPrevLink != nullptr; }
  ZelPacket* first() const { return head_; }
  bool isEmpty() const { return head_ == nullptr; }

 private:
  static void unlink(ZelPacket* packet) {
    *packet->pPrevLink = packet->pNext;
    if (packet->pNext != nullptr) packet->pNext->pPrevLink = packet->pPrevLink;
    packet->pPrevLink = nullptr;
  }
  ZelPacket* head_ = nullptr;
};

}  // namespace zelkit::detail
