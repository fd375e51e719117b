#pragma once

#include <cstdint>

// Reading the few things the TLS engine needs from DER documents, without a
// general ASN.1 decoder. Every length read from a document is checked
// against the bytes that remain: certificates come from untrusted peers.
namespace zelkit::detail {

struct Asn1Header {
  uint32_t tag;         // whole identifier byte; the tag number alone for the two-byte form
  uint32_t length;      // content length
  uint32_t headerSize;  // identifier and length bytes
  const uint8_t* value; // first content byte; null when the header is malformed
};

// Parses the identifier and length at p, of which `remaining` bytes are
// readable. The content is not checked against `remaining`.
Asn1Header asn1ParseHeader(const uint8_t* p, uint32_t remaining);

// Index entry that closes a constructed element.
constexpr uint16_t kAsn1IndexEnd = 0xFFFF;
// Fills index with the offset of every element in document order and
// kAsn1IndexEnd after the last element inside each constructed one; stops
// early at malformed data, at more than kAsn1MaxDepth levels or when the
// index is full. Returns the entries written. Documents are read up to
// 65535 bytes (offsets are 16-bit).
int32_t asn1IndexTlv(const uint8_t* der, int32_t length, uint16_t* index, int32_t capacity);
constexpr int kAsn1MaxDepth = 32;

// "Issued to: ...\nIssued by: ...\nValid from: ... to ...\n" from the common
// names and UTCTimes of a certificate, cut to size bytes. index and count
// come from asn1IndexTlv over the same der.
void asn1CertificateSummary(char* text, int32_t size, const uint8_t* der, const uint16_t* index, int32_t count);

// Called for every primitive element but OBJECT IDENTIFIERs, with the path
// of the walk so far (see der_walk.cpp).
using DerCallback = void (*)(const char* path, const uint8_t* value, uint32_t valueLength, uint32_t tagNumber,
                             void* user);
// 0 when the top level consumed exactly length bytes, -1 otherwise.
int32_t derWalk(const uint8_t* der, uint32_t length, DerCallback callback, void* user);

}  // namespace zelkit::detail
