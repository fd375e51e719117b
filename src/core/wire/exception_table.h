#pragma once

#include "zelkit/exceptions.h"

namespace zelkit::detail {

// Slots of Exception::list: every code up to the highest one with a class.
constexpr int ExceptionSlotCount = ConnectionError + 1;

// The one instance of exception class X, made at the first call and only
// read afterwards (rebuilt once if a catcher deleted it), so threads may
// throw and catch it at once. The library's direct throws:
//   throw detail::sharedException<BadParameterException>();
template <typename X>
X* sharedException();

// Creates the instances that exist from the core's start on (17 codes, in
// the order the core has always made them); the others are made at their
// first direct throw. Called by the core's constructor.
void preallocateExceptions();

}  // namespace zelkit::detail
