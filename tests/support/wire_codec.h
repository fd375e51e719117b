#pragma once

// Framing code of the test device, written apart from the library so that a
// misreading of the wire format cannot cancel out between the two sides.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zeltest {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kTpktHeaderSize = 4;
inline constexpr size_t kFrameHeaderSize = 20;  // TPKT header and Zel header
inline constexpr size_t kMaxFragmentPayload = 65504;
inline constexpr uint8_t kTpktVersion = 3;

inline constexpr uint8_t kModeRequest = 0;
inline constexpr uint8_t kModeReply = 1;
inline constexpr uint8_t kModeMessage = 2;
inline constexpr uint8_t kModeErrorReply = 3;
inline constexpr uint8_t kValueTableFollows = 0x40;
inline constexpr uint8_t kMoreFragments = 0x80;

inline constexpr uint32_t kTagRequestChallenge = 0xFF050C30;
inline constexpr uint32_t kTagRegister = 0xFF000C31;
inline constexpr uint32_t kTagKeepAliveMessage = 0xFF030030;
inline constexpr uint32_t kTagKeepAliveAnswer = 0x002F0830;
inline constexpr uint32_t kTagLiveCheck = 0x002F1030;

uint16_t readU16(const uint8_t* bytes);
uint32_t readU32(const uint8_t* bytes);
void appendU16(Bytes& out, uint16_t value);
void appendU32(Bytes& out, uint32_t value);

// The 16-byte Zel header as it stands on the wire.
struct FrameHeader {
  uint32_t tag = 0;
  uint8_t modeByte = 0;
  uint8_t transactionId = 0;
  uint16_t clientId = 0;
  uint32_t sessionId = 0;
  uint16_t num = 0;
  uint16_t payloadLength = 0;  // the header's field, as sent

  uint8_t mode() const { return modeByte & 0x0F; }
  bool moreFragments() const { return (modeByte & kMoreFragments) != 0; }
  bool hasValueTable() const { return (modeByte & kValueTableFollows) != 0; }
};

struct Frame {
  uint16_t tpktLength = 0;
  FrameHeader header;
  Bytes payload;
  Bytes valueTable;
};

// One frame: TPKT length, and the header's payload-length field, follow from
// the sizes given; bit 0x40 is set when a value table is given.
Bytes encodeFrame(const FrameHeader& header, std::span<const uint8_t> payload,
                  std::span<const uint8_t> valueTable = {});

// A payload as a sequence of frames of at most pieceSize payload bytes, all
// but the last with bit 0x80. An empty payload still gives one frame.
std::vector<Bytes> encodeFragments(const FrameHeader& header, std::span<const uint8_t> payload,
                                   size_t pieceSize = kMaxFragmentPayload);

// The frame length announced by a TPKT header, or an error text when the
// header is unusable (version byte other than 3, length below 20).
struct TpktCheck {
  uint16_t frameLength = 0;
  std::string error;
};
TpktCheck checkTpktHeader(std::span<const uint8_t, kTpktHeaderSize> header);

// Decodes one complete frame (bytes.size() equals its TPKT length). Fills
// error and returns nothing when the frame is malformed.
std::optional<Frame> decodeFrame(std::span<const uint8_t> bytes, std::string& error);

// Payload of an error reply: one byte for codes up to 255, else 16 bits.
Bytes errorReplyPayload(uint16_t code);

// Register request payload.
struct RegisterRequest {
  uint32_t kind = 0;
  uint16_t lengthField = 0;  // text length, plus 256 for a challenge response
  std::vector<uint16_t> messageIds;
  std::string text;
};
inline constexpr uint32_t kRegisterNoCredentials = 0x00000000;
inline constexpr uint32_t kRegisterCredentials = 0x01000000;
inline constexpr uint32_t kRegisterHookOn = 0x02000000;  // low 16 bits: hook number

std::optional<RegisterRequest> parseRegisterRequest(std::span<const uint8_t> payload, std::string& error);

// "GET /zel_tunnel HTTP/1.0" head with its Host and Basic credentials.
struct TunnelRequest {
  std::string head;  // as received, up to and including the empty line
  std::string requestLine;
  std::string host;
  std::string credentials;  // base64 text of the Authorization header
  std::string user;         // decoded credentials, split at the first ':'
  std::string password;
};
std::optional<TunnelRequest> parseTunnelRequest(std::string_view head, std::string& error);

std::optional<std::string> base64Decode(std::string_view text);

}  // namespace zeltest
