#include "core/wire/packet.h"
#include "zelkit/streams.h"

namespace zelkit {

ZelHeader::ZelHeader() : ZelHeader(0, 0, 0, 0, 0, 0) {}

ZelHeader::ZelHeader(unsigned long tag, int transactionId) : ZelHeader(tag, 0, transactionId, 0, 0, 0) {}

ZelHeader::ZelHeader(unsigned long tag, unsigned char mode, int transactionId, unsigned short clientId,
                     unsigned long sessionId, unsigned short num)
    : tag(static_cast<uint32_t>(tag)),
      mode(mode),
      transactionId(transactionId),
      clientId(clientId),
      num(num),
      sessionId(static_cast<uint32_t>(sessionId)),
      errorCode(0),
      sourceUrl(nullptr) {}

namespace {

// Callbacks never see the value-table and more-fragments bits.
uint8_t visibleMode(uint8_t wireMode) {
  return wireMode == detail::LocalError ? wireMode : static_cast<uint8_t>(wireMode & 0x0F);
}

}  // namespace

ZelHeader::ZelHeader(ZelInputStream& stream) : errorCode(0), sourceUrl(nullptr) {
  // The first read waits for an armed stream's reply; every delivery parses
  // a header, so the rest is taken with one check when it is all there.
  tag = static_cast<uint32_t>(stream.readULong());
  constexpr int rest = detail::ZEL_HEADER_SIZE - 4;
  if (stream.available() >= rest) {
    const unsigned char* bytes = stream.skip(rest);
    mode = visibleMode(bytes[0]);
    transactionId = bytes[1];
    clientId = detail::readBE16(bytes + 2);
    sessionId = detail::readBE32(bytes + 4);
    num = detail::readBE16(bytes + 8);
    return;  // payload length: the stream's end already says it
  }
  // Field by field, so that the read that no longer fits is the one that throws.
  mode = visibleMode(stream.readOctet());
  transactionId = stream.readOctet();
  clientId = stream.readUShort();
  sessionId = static_cast<uint32_t>(stream.readULong());
  num = stream.readUShort();
  stream.readUShort();
}

ZelHeader& ZelHeader::operator=(const ZelHeader& other) = default;

void ZelHeader::reset() { *this = ZelHeader(); }

}  // namespace zelkit
