#include "security/rsa/rsa.h"

#include <initializer_list>
#include <mutex>

#include "common/never_destroyed.h"
#include "security/rsa/random.h"

namespace zelkit::detail {

namespace {

bool hasCrtParts(const RsaCrtKey* crt) {
  if (crt == nullptr || crt->fieldsFound != kRsaCrtFields) return false;
  for (const BigNum* part : {&crt->publicExponent, &crt->prime1, &crt->prime2, &crt->exponent1, &crt->exponent2,
                             &crt->coefficient}) {
    if (part->bits == 0) return false;
  }
  return true;
}

// m = m2 + prime2 * (coefficient * (m1 - m2) mod prime1), with
// m1 = c^exponent1 mod prime1 and m2 = c^exponent2 mod prime2.
void crtExponent(const RsaCrtKey& key, const BigNum* c, BigNum* m) {
  BigNum m1;
  BigNum m2;
  BigNum h;
  bigNumSetZero(&m1);
  bigNumSetZero(&m2);
  bigNumModExp(c, &key.exponent1, &key.prime1, &m1);
  bigNumModExp(c, &key.exponent2, &key.prime2, &m2);
  bigNumMod(&m2, &key.prime1, &h);
  if (bigNumCompare(&m1, &h) < 0) bigNumAdd(&m1, &key.prime1, &m1);
  bigNumSubtract(&m1, &h, &h);
  bigNumMultiply(&h, &key.coefficient, &h);
  bigNumMod(&h, &key.prime1, &h);
  bigNumMultiply(&h, &key.prime2, &h);
  bigNumAdd(&h, &m2, m);
}

// A random r below n with its inverse; r^e blinds the input, r^-1 unblinds
// the result. False when no invertible r turns up, which only happens for
// a modulus that is no RSA modulus (even, 1, or full of small factors).
bool makeBlinding(const BigNum* modulus, const BigNum* e, BigNum* blind, BigNum* unblind) {
  uint8_t bytes[kBigNumMaxBytes];
  const int32_t length = (modulus->bits + 7) / 8;
  BigNum r;
  for (int attempt = 0; attempt < 16; ++attempt) {
    randomBytes(bytes, length);
    bigNumFromBytes(&r, bytes, length, true);
    bigNumMod(&r, modulus, &r);
    if (r.bits > 0 && bigNumModInverse(&r, modulus, unblind) == 0) {
      bigNumModExp(&r, e, modulus, blind);
      return true;
    }
  }
  return false;
}

void multiplyMod(const BigNum* a, const BigNum* b, const BigNum* modulus, BigNum* out) {
  bigNumMultiply(a, b, out);
  bigNumMod(out, modulus, out);
}

// One process-wide server key serves every thread that runs a handshake.
std::mutex& blindingLock() {
  static NeverDestroyed<std::mutex> lock;
  return lock.get();
}

// The key's next blinding pair. Drawing a fresh one costs a modular
// inverse, more than the rest of the operation, so pairs are squared from
// one operation to the next instead.
bool nextBlinding(RsaCrtKey* crt, const BigNum* modulus, BigNum* blind, BigNum* unblind) {
  std::lock_guard<std::mutex> guard(blindingLock());
  RsaBlinding& pair = crt->blinding;
  if (pair.remaining == 0) {
    if (!makeBlinding(modulus, &crt->publicExponent, &pair.blind, &pair.unblind)) return false;
    pair.remaining = kRsaBlindingUses;
  }
  bigNumCopy(blind, &pair.blind);
  bigNumCopy(unblind, &pair.unblind);
  multiplyMod(&pair.blind, &pair.blind, modulus, &pair.blind);
  multiplyMod(&pair.unblind, &pair.unblind, modulus, &pair.unblind);
  --pair.remaining;
  return true;
}

}  // namespace

void rsaPrivateOperation(const KeyRecord* privateKey, const BigNum* c, BigNum* m) {
  const BigNum* modulus = &privateKey->first;
  RsaCrtKey* crt = privateKey->crt;
  BigNum blind;
  BigNum unblind;
  if (hasCrtParts(crt) && nextBlinding(crt, modulus, &blind, &unblind)) {
    BigNum reduced;
    BigNum blinded;
    BigNum check;
    bigNumMod(c, modulus, &reduced);
    multiplyMod(&reduced, &blind, modulus, &blinded);
    crtExponent(*crt, &blinded, &blinded);
    multiplyMod(&blinded, &unblind, modulus, &blinded);
    // A key whose parts do not belong together must not change the result.
    bigNumModExp(&blinded, &crt->publicExponent, modulus, &check);
    if (bigNumCompare(&check, &reduced) == 0) {
      bigNumCopy(m, &blinded);
      return;
    }
  }
  bigNumModExp(c, &privateKey->second, modulus, m);
}

}  // namespace zelkit::detail
