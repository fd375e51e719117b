#pragma once

#include "zelkit/export.h"

// Host to network byte order (the same conversion serves both ways).
ZELKIT_API unsigned long _htonl(unsigned long value);
ZELKIT_API unsigned short _htons(unsigned short value);
