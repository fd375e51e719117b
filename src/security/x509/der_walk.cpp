#include <cstring>

#include "security/x509/asn1.h"

// The DER walk visits every primitive element and names it by a short path
// of tag letters ("I/" for an INTEGER) and ids of known OIDs ("07:"). The
// path records the walk so far and is never shortened when a constructed
// element ends: only its newest 23 characters are kept, followed by "<".
// An RSAPrivateKey's INTEGERs thus come as "I/<", "I/I/<", "I/I/I/<", ...,
// and a certificate's RSA modulus and exponent end in "/07:N/I/<" and
// "/07:N/I/I/<".
namespace zelkit::detail {

namespace {

constexpr uint8_t kRsaEncryption = 7;
constexpr size_t kPathKept = 23;
constexpr uint32_t kTagBitString = 3;
constexpr uint32_t kTagObjectIdentifier = 6;

struct KnownOid {
  uint8_t id;
  uint8_t length;
  uint8_t content[9];
};

constexpr KnownOid knownOids[] = {
    {1, 3, {0x55, 0x04, 0x0B}},                                      // organizationalUnitName
    {2, 3, {0x55, 0x04, 0x03}},                                      // commonName
    {3, 3, {0x55, 0x04, 0x06}},                                      // countryName
    {4, 3, {0x55, 0x04, 0x08}},                                      // stateOrProvinceName
    {5, 3, {0x55, 0x04, 0x07}},                                      // localityName
    {6, 3, {0x55, 0x04, 0x0A}},                                      // organizationName
    {7, 9, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01}},  // rsaEncryption
    {8, 3, {0x55, 0x1D, 0x0E}},                                      // subjectKeyIdentifier
    {9, 3, {0x55, 0x1D, 0x23}},                                      // authorityKeyIdentifier
    {10, 3, {0x55, 0x1D, 0x13}},                                     // basicConstraints
    {11, 9, {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x05}}, // sha1WithRSAEncryption
};

uint8_t knownOidId(const uint8_t* content, uint64_t length) {
  for (const KnownOid& oid : knownOids) {
    if (oid.length == length && std::memcmp(oid.content, content, oid.length) == 0) return oid.id;
  }
  return 0;
}

char tagLetter(uint32_t tagNumber) {
  switch (tagNumber) {
    case 0: return 'X';
    case 1: return 'B';
    case 2: return 'I';
    case 3: case 4: case 12: case 18: case 19: case 20: case 21: case 22: case 26: case 27: case 28: case 30:
      return 'p';
    case 5: return 'N';
    case 6: return 'O';
    case 7: return 'D';
    case 16: return 'Q';
    case 17: return 'S';
    case 23: return 'T';
    case 24: return 't';
    case 25: return 'g';
    default: return '?';
  }
}

class Walk {
 public:
  Walk(DerCallback callback, void* user) : callback_(callback), user_(user) {}

  // Walks one level; *parentSlot receives the id of each known OID met
  // directly in it. True when the level's bytes were consumed exactly.
  bool level(const uint8_t* p, uint32_t length, uint8_t* parentSlot, int depth) {
    *parentSlot = 0;
    uint8_t slot = 0;  // written by the levels walked inside this one
    uint32_t pos = 0;
    while (length - pos >= 2) {
      uint8_t identifier = p[pos++];
      if (identifier == 0) identifier = p[pos++];  // the bit count leading a BIT STRING's content
      uint32_t tagNumber = identifier & 0x1F;
      if (tagNumber == 0x1F) {
        tagNumber = 0;
        for (int bytes = 1;; ++bytes) {
          if (pos >= length || bytes > 4) return false;
          const uint8_t b = p[pos++];
          tagNumber = (tagNumber << 7) | (b & 0x7F);
          if ((b & 0x80) == 0) break;
        }
      }
      if (pos >= length) return false;
      const uint8_t first = p[pos++];
      uint64_t contentLength = first;
      if (first >= 0x80) {
        const uint32_t count = first & 0x7F;
        if (count > 4 || count > length - pos) return false;
        contentLength = 0;
        for (uint32_t i = 0; i < count; ++i) contentLength = (contentLength << 8) | p[pos++];
      }
      if (contentLength > length - pos) return false;
      const uint8_t* value = p + pos;
      const auto valueLength = static_cast<uint32_t>(contentLength);

      if (tagNumber == kTagObjectIdentifier) {
        const uint8_t id = knownOidId(value, contentLength);
        if (id != 0) {
          appendOid(id);
          *parentSlot = id;
        }
      }
      // The key of a SubjectPublicKeyInfo is DER inside a BIT STRING: it is
      // entered when the algorithm just walked was rsaEncryption.
      const bool enter = (identifier & 0x20) != 0 || (tagNumber == kTagBitString && slot == kRsaEncryption);
      if (enter) {
        slot = 0;
        if (depth < kAsn1MaxDepth) level(value, valueLength, &slot, depth + 1);
      } else if (tagNumber != kTagObjectIdentifier) {
        const char piece[2] = {tagLetter(tagNumber), '/'};
        append(piece, 2);
        if (callback_ != nullptr) callback_(path_, value, valueLength, tagNumber, user_);
      }
      pos += valueLength;
    }
    return pos == length;
  }

 private:
  void appendOid(uint8_t id) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const char piece[3] = {hex[id >> 4], hex[id & 0xF], ':'};
    append(piece, 3);
  }

  // The path without its "<" is length_ characters; keeps the newest 23.
  void append(const char* piece, size_t n) {
    std::memcpy(path_ + length_, piece, n);
    length_ += n;
    if (length_ > kPathKept) {
      std::memmove(path_, path_ + length_ - kPathKept, kPathKept);
      length_ = kPathKept;
    }
    path_[length_] = '<';
    path_[length_ + 1] = 0;
  }

  DerCallback callback_;
  void* user_;
  char path_[27] = {};
  size_t length_ = 0;
};

}  // namespace

int32_t derWalk(const uint8_t* der, uint32_t length, DerCallback callback, void* user) {
  Walk walk(callback, user);
  uint8_t topSlot = 0;
  return walk.level(der, length, &topSlot, 0) ? 0 : -1;
}

}  // namespace zelkit::detail
