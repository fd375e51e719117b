#pragma once

#include <utility>

namespace zelkit::detail {

// Static storage for a process-wide object: constant-initialised when T
// allows it (so it works during static initialisation) and never destroyed,
// because library threads may still use it while static destructors run.
template <typename T>
class NeverDestroyed {
 public:
  template <typename... Args>
  constexpr explicit NeverDestroyed(Args&&... args) : value_(std::forward<Args>(args)...) {}
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;
  ~NeverDestroyed() {}

  T& get() { return value_; }
  T* operator->() { return &value_; }

 private:
  union {
    T value_;
  };
};

}  // namespace zelkit::detail
