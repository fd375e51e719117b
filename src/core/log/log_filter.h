#pragma once

#include <memory>

namespace zelkit::detail {

// The host filter of the log files: an ECMAScript regular expression
// searched for anywhere in a connection's URL.
class LogFilter {
 public:
  explicit LogFilter(const char* expression);
  ~LogFilter();
  LogFilter(const LogFilter&) = delete;
  LogFilter& operator=(const LogFilter&) = delete;

  // Throws the regular-expression library's error and keeps the old
  // expression when the new one does not compile.
  void assign(const char* expression);
  bool search(const char* text) const;

 private:
  struct Compiled;  // keeps <regex> out of the engine's headers
  std::unique_ptr<Compiled> expression_;
};

}  // namespace zelkit::detail
