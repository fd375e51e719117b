#pragma once

/// \file
/// The mark of the library's exported classes and functions.

/// Everything in the library is hidden unless marked with this: the exported
/// classes and functions of the interface, their exception family included,
/// so that `catch (zelkit::Exception*)` works across the library boundary.
#define ZELKIT_API __attribute__((visibility("default")))

/// \namespace zelkit
/// The library's interface: clients of devices (ZelClient, RtpStreamer,
/// ZelReplayClient), the library-wide switches (System), device discovery
/// (NetworkScanner), the device side (ZelServer, ZelSession), the payload
/// streams and the exception family.
