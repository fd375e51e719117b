#pragma once

// Everything in the library is hidden unless marked here: the exported
// classes and functions of the interface, their exception family included,
// so that `catch (zelkit::Exception*)` works across the library boundary.
#define ZELKIT_API __attribute__((visibility("default")))
