#pragma once

#include <cstdint>

#include "client/scanner/discovery_format.h"

// Reading the two kinds of discovery reply: the 32-byte binary reply and the
// XML text of newer devices.
namespace zelkit::detail {

struct BinaryReply {
  uint32_t address;  // as received (network order)
  uint8_t mac[MAC_SIZE];
};

// True when the datagram is a whole binary reply to the scan with this id
// and names a non-zero address.
bool readBinaryReply(const uint8_t* datagram, int length, uint32_t scanId, BinaryReply& out);

struct XmlReply {
  uint32_t address;  // network order; 0 when missing or unreadable
  uint16_t httpPort;
  bool hasMac;
  uint8_t mac[MAC_SIZE];
  // The MAC as it stands in the text, for log lines (not terminated).
  const char* macText;
  int macTextLength;
};

// Reads the address, MAC and HTTP port elements of a 0-terminated XML
// reply. True when it names a device (an address and a MAC).
bool readXmlReply(const char* text, XmlReply& out);

}  // namespace zelkit::detail
