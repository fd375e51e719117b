#pragma once

#include "zelkit/streams.h"

namespace zelkit::detail {

// Payloads of exactly one value, for short commands and error replies.
class OctetPayload : public ZelOutputStream {
 public:
  explicit OctetPayload(unsigned char value) { writeOctet(value); }
};

class IntPayload : public ZelOutputStream {
 public:
  explicit IntPayload(int value) { writeInt(value); }
};

class ULongPayload : public ZelOutputStream {
 public:
  explicit ULongPayload(unsigned long value) { writeULong(value); }
};

}  // namespace zelkit::detail
