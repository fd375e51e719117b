// GCC 12 reports std::function members inside <regex> as maybe uninitialised
// when the sanitizers are on; the warning is about the library, not this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "core/log/log_filter.h"

#include <regex>

namespace zelkit::detail {

struct LogFilter::Compiled {
  explicit Compiled(const char* text) : expression(text, std::regex::ECMAScript) {}
  std::regex expression;
};

LogFilter::LogFilter(const char* expression) : expression_(std::make_unique<Compiled>(expression)) {}

LogFilter::~LogFilter() = default;

void LogFilter::assign(const char* expression) { expression_ = std::make_unique<Compiled>(expression); }

bool LogFilter::search(const char* text) const { return std::regex_search(text, expression_->expression); }

}  // namespace zelkit::detail
