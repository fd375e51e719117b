// Uses the installed headers and library the way an application does: every
// public header, a payload written and read back in network order, and a
// library exception caught by its own class across the library boundary.
#include <zelkit/byte_order.h>
#include <zelkit/client.h>
#include <zelkit/exceptions.h>
#include <zelkit/replay_client.h>
#include <zelkit/rtp_streamer.h>
#include <zelkit/rtp_streamer_session.h>
#include <zelkit/scanner.h>
#include <zelkit/server.h>
#include <zelkit/session.h>
#include <zelkit/ssl_keys.h>
#include <zelkit/streams.h>
#include <zelkit/system.h>

#include <cstdio>
#include <cstring>

int main() {
  zelkit::ZelOutputStream payload;
  payload.writeULong(0x01020304);
  payload.writeString("zel");
  if (std::memcmp(payload.getPayload(), "\x01\x02\x03\x04zel", 8) != 0) {
    std::puts("consumer: payload bytes differ");
    return 1;
  }

  zelkit::ZelInputStream reader(payload.getPayload(), payload.size());
  char text[8];
  const unsigned long value = reader.readULong();
  reader.readString(text, sizeof text);
  if (value != 0x01020304 || std::strcmp(text, "zel") != 0 || _htons(0x0102) != 0x0201) {
    std::puts("consumer: values read back differ");
    return 1;
  }
  try {
    reader.readOctet();
    std::puts("consumer: a read past the end did not throw");
    return 1;
  } catch (zelkit::BadParameterException* error) {
    if (error->code != zelkit::BadParameter) return 1;
  }
  std::puts("consumer: ok");
  return 0;
}
