#include "support/wire_codec.h"

#include <algorithm>
#include <cctype>

namespace zeltest {

uint16_t readU16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

uint32_t readU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

void appendU16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void appendU32(Bytes& out, uint32_t value) {
  appendU16(out, static_cast<uint16_t>(value >> 16));
  appendU16(out, static_cast<uint16_t>(value));
}

Bytes encodeFrame(const FrameHeader& header, std::span<const uint8_t> payload, std::span<const uint8_t> valueTable) {
  const size_t length = kFrameHeaderSize + payload.size() + valueTable.size();
  Bytes out;
  out.reserve(length);
  out.push_back(kTpktVersion);
  out.push_back(0);
  appendU16(out, static_cast<uint16_t>(length));
  appendU32(out, header.tag);
  out.push_back(valueTable.empty() ? header.modeByte : static_cast<uint8_t>(header.modeByte | kValueTableFollows));
  out.push_back(header.transactionId);
  appendU16(out, header.clientId);
  appendU32(out, header.sessionId);
  appendU16(out, header.num);
  appendU16(out, static_cast<uint16_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  out.insert(out.end(), valueTable.begin(), valueTable.end());
  return out;
}

std::vector<Bytes> encodeFragments(const FrameHeader& header, std::span<const uint8_t> payload, size_t pieceSize) {
  pieceSize = std::clamp<size_t>(pieceSize, 1, kMaxFragmentPayload);
  std::vector<Bytes> frames;
  size_t offset = 0;
  do {
    const size_t piece = std::min(pieceSize, payload.size() - offset);
    FrameHeader pieceHeader = header;
    if (offset + piece < payload.size()) pieceHeader.modeByte |= kMoreFragments;
    frames.push_back(encodeFrame(pieceHeader, payload.subspan(offset, piece)));
    offset += piece;
  } while (offset < payload.size());
  return frames;
}

TpktCheck checkTpktHeader(std::span<const uint8_t, kTpktHeaderSize> header) {
  TpktCheck check;
  check.frameLength = readU16(header.data() + 2);
  if (header[0] != kTpktVersion) {
    check.error = "TPKT version byte " + std::to_string(header[0]);
  } else if (check.frameLength < kFrameHeaderSize) {
    check.error = "TPKT length " + std::to_string(check.frameLength) + " below 20";
  }
  return check;
}

std::optional<Frame> decodeFrame(std::span<const uint8_t> bytes, std::string& error) {
  if (bytes.size() < kFrameHeaderSize) {
    error = "frame of " + std::to_string(bytes.size()) + " bytes";
    return std::nullopt;
  }
  Frame frame;
  frame.tpktLength = readU16(bytes.data() + 2);
  if (frame.tpktLength != bytes.size()) {
    error = "TPKT length " + std::to_string(frame.tpktLength) + " for " + std::to_string(bytes.size()) + " bytes";
    return std::nullopt;
  }
  const uint8_t* h = bytes.data() + kTpktHeaderSize;
  frame.header.tag = readU32(h);
  frame.header.modeByte = h[4];
  frame.header.transactionId = h[5];
  frame.header.clientId = readU16(h + 6);
  frame.header.sessionId = readU32(h + 8);
  frame.header.num = readU16(h + 12);
  frame.header.payloadLength = readU16(h + 14);
  const auto body = bytes.subspan(kFrameHeaderSize);
  size_t payloadSize = body.size();
  if (frame.header.hasValueTable()) {
    if (frame.header.payloadLength > body.size()) {
      error = "payload length " + std::to_string(frame.header.payloadLength) + " past the frame end";
      return std::nullopt;
    }
    payloadSize = frame.header.payloadLength;
  }
  frame.payload.assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(payloadSize));
  frame.valueTable.assign(body.begin() + static_cast<std::ptrdiff_t>(payloadSize), body.end());
  return frame;
}

Bytes errorReplyPayload(uint16_t code) {
  Bytes out;
  if (code <= 0xFF) {
    out.push_back(static_cast<uint8_t>(code));
  } else {
    appendU16(out, code);
  }
  return out;
}

std::optional<RegisterRequest> parseRegisterRequest(std::span<const uint8_t> payload, std::string& error) {
  if (payload.size() < 8) {
    error = "register payload of " + std::to_string(payload.size()) + " bytes";
    return std::nullopt;
  }
  RegisterRequest request;
  request.kind = readU32(payload.data());
  request.lengthField = readU16(payload.data() + 4);
  const size_t idCount = readU16(payload.data() + 6);
  if (payload.size() < 8 + 2 * idCount) {
    error = "register payload too short for " + std::to_string(idCount) + " message ids";
    return std::nullopt;
  }
  for (size_t i = 0; i < idCount; ++i) request.messageIds.push_back(readU16(payload.data() + 8 + 2 * i));
  const auto text = payload.subspan(8 + 2 * idCount);
  request.text.assign(text.begin(), text.end());
  if (request.lengthField != text.size() && request.lengthField != text.size() + 256) {
    error = "register length field " + std::to_string(request.lengthField) + " for a text of " +
            std::to_string(text.size()) + " bytes";
    return std::nullopt;
  }
  return request;
}

namespace {

// The value of header `name` (compared without regard to case) in an HTTP
// head, or nothing.
std::optional<std::string> headerValue(std::string_view head, std::string_view name) {
  size_t lineStart = head.find("\r\n");
  while (lineStart != std::string_view::npos) {
    lineStart += 2;
    const size_t lineEnd = head.find("\r\n", lineStart);
    const std::string_view line =
        head.substr(lineStart, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - lineStart);
    const size_t colon = line.find(':');
    if (colon == name.size() && std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        })) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      return std::string(value);
    }
    lineStart = lineEnd;
  }
  return std::nullopt;
}

}  // namespace

std::optional<TunnelRequest> parseTunnelRequest(std::string_view head, std::string& error) {
  TunnelRequest request;
  request.head = std::string(head);
  request.requestLine = std::string(head.substr(0, head.find("\r\n")));
  const auto host = headerValue(head, "Host");
  const auto authorization = headerValue(head, "Authorization");
  if (!host || !authorization) {
    error = "tunnel request without Host or Authorization";
    return std::nullopt;
  }
  request.host = *host;
  constexpr std::string_view basic = "Basic ";
  if (!authorization->starts_with(basic)) {
    error = "authorization is not Basic: " + *authorization;
    return std::nullopt;
  }
  request.credentials = authorization->substr(basic.size());
  const auto decoded = base64Decode(request.credentials);
  if (!decoded) {
    error = "bad base64 credentials: " + request.credentials;
    return std::nullopt;
  }
  const size_t colon = decoded->find(':');
  request.user = decoded->substr(0, colon);
  if (colon != std::string::npos) request.password = decoded->substr(colon + 1);
  return request;
}

std::optional<std::string> base64Decode(std::string_view text) {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t group = 0;
    int padding = 0;
    for (size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      uint32_t value = 0;
      if (c == '=' && i + 4 == text.size() && j >= 2) {
        ++padding;
      } else {
        const size_t position = alphabet.find(c);
        if (position == std::string_view::npos || padding > 0) return std::nullopt;
        value = static_cast<uint32_t>(position);
      }
      group = group << 6 | value;
    }
    out.push_back(static_cast<char>(group >> 16));
    if (padding < 2) out.push_back(static_cast<char>(group >> 8 & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(group & 0xFF));
  }
  return out;
}

}  // namespace zeltest
