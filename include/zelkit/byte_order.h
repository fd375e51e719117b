#pragma once

/// \file
/// Byte-order helpers.

#include "zelkit/export.h"

/// Converts a 32-bit value between host and network byte order (the same
/// conversion serves both ways).
/// \param value A 32-bit value; higher bits of a wider `unsigned long` are dropped.
/// \return The value with its four bytes reversed on this little-endian host.
ZELKIT_API unsigned long _htonl(unsigned long value);

/// Converts a 16-bit value between host and network byte order.
/// \param value The value.
/// \return The value with its two bytes swapped on this little-endian host.
ZELKIT_API unsigned short _htons(unsigned short value);
