// The scanner's reading of discovery replies: the binary reply of the scan
// whose id the datagram carries, and the XML text as the scanner hands it
// over (below 3000 bytes, ended by 0).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "client/scanner/reply_parsing.h"
#include "core/wire/byte_io.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr size_t XML_BUFFER_SIZE = 3000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zelkit::detail;
  const int length = static_cast<int>(size);
  const uint32_t scanId = size >= 8 ? readBE32(data + 4) : 0;
  BinaryReply binary;
  if (readBinaryReply(data, length, scanId, binary)) require(size >= BINARY_REPLY_SIZE && binary.address != 0);

  if (size >= XML_BUFFER_SIZE) return 0;
  char text[XML_BUFFER_SIZE];
  std::memcpy(text, data, size);
  text[size] = '\0';
  XmlReply xml;
  const bool named = readXmlReply(text, xml);
  if (named) require(xml.hasMac && xml.address != 0);
  if (xml.macText != nullptr) {
    // The MAC text used for log lines lies within the text.
    require(xml.macText >= text && xml.macTextLength >= 0);
    require(xml.macText + xml.macTextLength <= text + size);
  }
  return 0;
}
