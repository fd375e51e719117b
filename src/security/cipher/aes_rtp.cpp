// The media counter mode of C_CryptAES and its key derivation.
#include <algorithm>
#include <cstring>

#include "security/cipher/aes.h"
#include "core/wire/byte_io.h"

namespace {

constexpr uint32_t RTP_HEADER_SIZE = 12;
constexpr uint32_t AES_BLOCK = C_CryptAES::BLOCK_SIZE;
// The block counter enters the counter block modulo 128, so the key stream
// of a packet repeats every 128 blocks.
constexpr uint32_t KEY_STREAM_PERIOD = 128;

// The master salt that every peer exchanging encrypted media shares,
// followed by the two zero bytes of the derivation input.
void masterSaltBlock(uint8_t block[16]) {
  zelkit::detail::writeBE32(block, 0x3C915EA7);
  zelkit::detail::writeBE32(block + 4, 0x08D46B12);
  zelkit::detail::writeBE32(block + 8, 0xF32E874D);
  zelkit::detail::writeBE32(block + 12, 0xB0690000);
}

void xorBytes(uint8_t* data, const uint8_t* keyStream, uint32_t length) {
  uint32_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t a, b;
    std::memcpy(&a, data + i, 8);
    std::memcpy(&b, keyStream + i, 8);
    a ^= b;
    std::memcpy(data + i, &a, 8);
  }
  for (; i < length; ++i) data[i] ^= keyStream[i];
}

}  // namespace

void C_CryptAES::encryptRtp(uint8_t* packet, uint32_t length) {
  if (length <= RTP_HEADER_SIZE) return;
  const uint32_t blocks = (length - RTP_HEADER_SIZE) / AES_BLOCK;
  if (blocks == 0) return;

  // Counter block b: the salt XOR the SSRC in little-endian order, the low
  // 16 bits of the timestamp and b mod 128. One period is enough for a
  // packet of any length.
  const uint32_t streamBlocks = std::min(blocks, KEY_STREAM_PERIOD);
  alignas(4) uint8_t keyStream[KEY_STREAM_PERIOD * AES_BLOCK];
  for (uint32_t b = 0; b < streamBlocks; ++b) {
    uint8_t* v = keyStream + b * AES_BLOCK;
    std::memcpy(v, rtpSalt, AES_BLOCK);
    v[0] ^= packet[11];
    v[1] ^= packet[10];
    v[2] ^= packet[9];
    v[3] ^= packet[8];
    v[13] ^= packet[6];
    v[14] ^= packet[7];
    v[15] ^= static_cast<uint8_t>(b);
  }
  encrypt(keyStream, streamBlocks * AES_BLOCK);

  // The last four bytes of the whole-block part stay in clear.
  uint8_t* payload = packet + RTP_HEADER_SIZE;
  uint32_t remaining = blocks * AES_BLOCK - 4;
  while (remaining > 0) {
    const uint32_t chunk = std::min(remaining, streamBlocks * AES_BLOCK);
    xorBytes(payload, keyStream, chunk);
    payload += chunk;
    remaining -= chunk;
  }
}

void C_CryptAES::decryptRtp(uint8_t* packet, uint32_t length) { encryptRtp(packet, length); }

// The AES-CM key derivation of RFC 3711 with a derivation rate of 0: the
// session key (label 0) and the session salt (label 2), no authentication key.
void C_CryptAES::setRtpMasterKey(const uint8_t* masterKey) {
  setKey(masterKey, 0);
  uint8_t x[AES_BLOCK];
  masterSaltBlock(x);
  encrypt(x, AES_BLOCK);
  std::memcpy(rtpKey, x, AES_BLOCK);

  masterSaltBlock(x);
  x[7] ^= 0x02;
  encrypt(x, AES_BLOCK);
  std::memcpy(rtpSalt, x, 14);

  setKey(rtpKey, 0);
}
