#pragma once

#include <atomic>
#include <cstdint>

#include "zelkit/server.h"

namespace zelkit::detail {

// Request handlers by command word: 16 buckets by bits 16-19 of the word
// and one default. Nodes are never removed; a later registration of a word
// goes in front and hides the earlier one. Lookups take no lock.
class HandlerTable {
 public:
  HandlerTable() = default;
  HandlerTable(const HandlerTable&) = delete;
  HandlerTable& operator=(const HandlerTable&) = delete;
  ~HandlerTable();

  // Word 0 sets the default.
  void insert(uint32_t word, ZelRequestHandler handler);
  // The word's handler, else the default; null when neither exists.
  ZelRequestHandler find(uint32_t word) const;

 private:
  struct Node {
    Node* next;
    uint32_t word;
    ZelRequestHandler handler;
  };
  static constexpr int BUCKET_COUNT = 16;
  static int bucketOf(uint32_t word) { return static_cast<int>((word >> 16) & (BUCKET_COUNT - 1)); }

  std::atomic<Node*> buckets_[BUCKET_COUNT] = {};
  std::atomic<ZelRequestHandler> default_{nullptr};
};

}  // namespace zelkit::detail
