#include "security/tls/ssl_cipher_suites.h"

#include "security/cipher/crypt.h"
#include "security/tls/ssl_hmac.h"

namespace zelkit::detail {

const CipherSuiteEntry CipherSuiteTable[] = {
    {kSuiteAes128CbcSha, sslSetupCbcSuite, 20, 16, 16, CryptAes},
    {kSuiteDesCbcSha, sslSetupCbcSuite, 20, 8, 8, CryptDes},
    {0, nullptr, 0, 0, 0, 0},
};

const CipherSuiteEntry* sslFindCipherSuite(uint32_t id) {
  for (const CipherSuiteEntry* row = CipherSuiteTable; row->id != 0; ++row) {
    if (row->id == id) return row;
  }
  return nullptr;
}

int sslSetupCiphers(SslContext* ctx) {
  SslCipherState& state = ctx->cipher;
  if (state.writeActive != 0 || state.readActive != 0) return 0;
  sslReleaseCiphers(&state);
  const CipherSuiteEntry* suite = sslFindCipherSuite(ctx->cipherSuite);
  if (suite == nullptr || suite->setup == nullptr) return -1;
  return suite->setup(&state, suite->id);
}

void sslReleaseCiphers(SslCipherState* state) {
  if (state->release != nullptr) state->release(state);
  state->writeActive = 0;
  state->readActive = 0;
}

int sslSetupCbcSuite(SslCipherState* state, uint32_t suite) {
  const CipherSuiteEntry* row = sslFindCipherSuite(suite);
  if (row == nullptr) return -1;
  state->protect = sslProtectCbc;
  state->open = sslOpenCbc;
  state->release = sslReleaseCbcSuite;
  state->writeCipher = createCrypt(row->cryptType);
  state->readCipher = createCrypt(row->cryptType);
  if (state->writeCipher == nullptr || state->readCipher == nullptr) return -1;
  state->writeCipher->setKey(state->writeKey, 0);
  state->readCipher->setKey(state->readKey, 1);
  state->writeMacPads = SslHmac(SslHash::Sha1, state->writeMacSecret, state->macLength).sha1Pads();
  state->readMacPads = SslHmac(SslHash::Sha1, state->readMacSecret, state->macLength).sha1Pads();
  return 0;
}

void sslReleaseCbcSuite(SslCipherState* state) {
  delete state->writeCipher;
  delete state->readCipher;
  state->writeCipher = nullptr;
  state->readCipher = nullptr;
  state->release = nullptr;
}

}  // namespace zelkit::detail
