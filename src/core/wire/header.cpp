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

ZelHeader::ZelHeader(ZelInputStream& stream) : errorCode(0), sourceUrl(nullptr) {
  tag = static_cast<uint32_t>(stream.readULong());
  const uint8_t wireMode = stream.readOctet();
  // Callbacks never see the value-table and more-fragments bits.
  mode = wireMode == detail::LocalError ? wireMode : static_cast<uint8_t>(wireMode & 0x0F);
  transactionId = stream.readOctet();
  clientId = stream.readUShort();
  sessionId = static_cast<uint32_t>(stream.readULong());
  num = stream.readUShort();
  stream.readUShort();  // payload length: the stream's end already says it
}

ZelHeader& ZelHeader::operator=(const ZelHeader& other) = default;

void ZelHeader::reset() { *this = ZelHeader(); }

}  // namespace zelkit
