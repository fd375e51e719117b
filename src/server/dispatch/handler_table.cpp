#include "server/dispatch/handler_table.h"

namespace zelkit::detail {

HandlerTable::~HandlerTable() {
  for (std::atomic<Node*>& bucket : buckets_) {
    for (Node* node = bucket.load(std::memory_order_relaxed); node != nullptr;) {
      Node* next = node->next;
      delete node;
      node = next;
    }
  }
}

void HandlerTable::insert(uint32_t word, ZelRequestHandler handler) {
  if (word == 0) {
    default_.store(handler, std::memory_order_release);
    return;
  }
  std::atomic<Node*>& head = buckets_[bucketOf(word)];
  Node* node = new Node{head.load(std::memory_order_relaxed), word, handler};
  while (!head.compare_exchange_weak(node->next, node, std::memory_order_release, std::memory_order_relaxed)) {
  }
}

ZelRequestHandler HandlerTable::find(uint32_t word) const {
  for (const Node* node = buckets_[bucketOf(word)].load(std::memory_order_acquire); node != nullptr; node = node->next)
    if (node->word == word) return node->handler;
  return default_.load(std::memory_order_acquire);
}

}  // namespace zelkit::detail
