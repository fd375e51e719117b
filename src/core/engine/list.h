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
// is destroyed.
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
  }
  void append(T* item) {
    ListLink<T>::next(item) = nullptr;
    T** link = &head_;
    while (*link != nullptr) link = &ListLink<T>::next(*link);
    *link = item;
  }
  void appendAll(PacketChain& chain);
  T* popFront() {
    T* item = head_;
    if (item != nullptr) head_ = ListLink<T>::next(item);
    return item;
  }
  // 0 when the element was found and unlinked, -1 when it is not in the list.
  int remove(T* item) {
    for (T** link = &head_; *link != nullptr; link = &ListLink<T>::next(*link)) {
      if (*link == item) {
        *link = ListLink<T>::next(item);
        return 0;
      }
    }
    return -1;
  }
  T* first() const { return head_; }
  bool isEmpty() const { return head_ == nullptr; }

 private:
  T* head_ = nullptr;
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
  T** link = &head_;
  while (*link != nullptr) link = &ListLink<T>::next(*link);
  *link = chain.head_;
  chain.head_ = nullptr;
}

}  // namespace zelkit::detail
