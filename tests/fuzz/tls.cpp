// The TLS engine over arbitrary peer bytes, in both roles: a server from
// its first record, a client after its hello, a server after a valid hello
// (key exchange, ChangeCipherSpec, Finished), and record opening with both
// suites. The first input byte picks the case.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/tls/ssl_cipher_suites.h"
#include "security/tls/ssl_context.h"

using namespace zelkit::detail;

namespace {

struct Transport {
  const uint8_t* data;
  size_t size;
};

int readInput(char* buffer, int length, int, void* user) {
  auto* input = static_cast<Transport*>(user);
  const size_t count = std::min(static_cast<size_t>(length), input->size);
  std::memcpy(buffer, input->data, count);
  input->data += count;
  input->size -= count;
  return static_cast<int>(count);
}

int discardOutput(char*, int length, int, void*) { return length; }

// A well-formed hello that takes a server to the key exchange.
const uint8_t kClientHello[] = {
    22, 3, 1, 0, 47, 1, 0, 0, 43, 3, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
    20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 0, 0, 4, 0, 0x2F, 0, 9, 1, 0};

void run(SslContext* ctx, Transport* input) {
  char buffer[256];
  for (int steps = 0; steps < 64; ++steps) {
    const size_t before = input->size;
    const int result = ctx->state == SslState::Established ? sslRead(ctx, buffer, sizeof buffer, 0)
                                                            : sslHandshakeStep(ctx);
    if (result < 0 || input->size == before) break;
  }
}

void openRecord(uint32_t suite, const uint8_t* data, size_t size) {
  static uint8_t keyBlock[128] = {7};
  SslCipherState state{};
  const CipherSuiteEntry* row = sslFindCipherSuite(suite);
  state.macLength = row->macLength;
  state.keyLength = row->keyLength;
  state.ivLength = row->ivLength;
  state.readMacSecret = state.writeMacSecret = keyBlock;
  state.readKey = keyBlock + 40;
  uint8_t iv[16] = {};
  state.readIv = iv;
  state.writeKey = keyBlock + 40;
  if (sslSetupCbcSuite(&state, suite) == 0) {
    std::vector<uint8_t> body(data, data + size);
    sslOpenCbc(body.data(), static_cast<int>(body.size()), static_cast<int>(body.size()), &state);
  }
  sslReleaseCbcSuite(&state);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 5;
  Transport input{data + 1, size - 1};
  if (mode == 3 || mode == 4) {
    openRecord(mode == 3 ? kSuiteAes128CbcSha : kSuiteDesCbcSha, input.data, input.size);
    return 0;
  }
  SslContext* ctx = sslCreate(readInput, discardOutput, &input);
  if (mode == 1) {
    sslConnect(ctx, 0, 0);
  } else if (mode == 2) {
    Transport hello{kClientHello, sizeof kClientHello};
    ctx->user = &hello;
    sslHandshakeStep(ctx);
    ctx->user = &input;
  }
  run(ctx, &input);
  sslFree(ctx);
  return 0;
}
