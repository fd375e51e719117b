#include <algorithm>

#include "security/rsa/bignum_words.h"

namespace zelkit::detail::words {

void remainder(const uint32_t* u, uint32_t nu, const uint32_t* v, uint32_t nv, uint32_t* r) {
  if (nu < nv) {
    std::copy(u, u + nu, r);
    std::fill(r + nu, r + nv, 0u);
    return;
  }
  if (nv == 1) {
    uint64_t rest = 0;
    for (uint32_t i = nu; i-- > 0;) rest = ((rest << 32) | u[i]) % v[0];
    r[0] = static_cast<uint32_t>(rest);
    return;
  }

  // Normalise so that the divisor's top bit is set; the quotient digit
  // estimate is then at most two too large.
  const int shift = __builtin_clz(v[nv - 1]);
  uint32_t vn[kMaxDividendWords];
  uint32_t un[kMaxDividendWords + 1];
  for (uint32_t i = nv - 1; i > 0; --i) {
    vn[i] = shift == 0 ? v[i] : (v[i] << shift) | (v[i - 1] >> (32 - shift));
  }
  vn[0] = v[0] << shift;
  un[nu] = shift == 0 ? 0 : u[nu - 1] >> (32 - shift);
  for (uint32_t i = nu - 1; i > 0; --i) {
    un[i] = shift == 0 ? u[i] : (u[i] << shift) | (u[i - 1] >> (32 - shift));
  }
  un[0] = u[0] << shift;

  constexpr uint64_t base = uint64_t{1} << 32;
  for (uint32_t j = nu - nv + 1; j-- > 0;) {
    const uint64_t top = (static_cast<uint64_t>(un[j + nv]) << 32) | un[j + nv - 1];
    uint64_t qhat = top / vn[nv - 1];
    uint64_t rhat = top % vn[nv - 1];
    while (qhat >= base || qhat * vn[nv - 2] > ((rhat << 32) | un[j + nv - 2])) {
      --qhat;
      rhat += vn[nv - 1];
      if (rhat >= base) break;
    }
    // Multiply and subtract qhat * vn from the current window of un.
    int64_t borrow = 0;
    int64_t t = 0;
    for (uint32_t i = 0; i < nv; ++i) {
      const uint64_t p = qhat * vn[i];
      t = static_cast<int64_t>(un[i + j]) - borrow - static_cast<int64_t>(p & 0xFFFFFFFFu);
      un[i + j] = static_cast<uint32_t>(t);
      borrow = static_cast<int64_t>(p >> 32) - (t >> 32);
    }
    t = static_cast<int64_t>(un[j + nv]) - borrow;
    un[j + nv] = static_cast<uint32_t>(t);
    if (t < 0) {
      // The estimate was one too large: add the divisor back.
      un[j + nv] += add(un + j, un + j, vn, nv);
    }
  }

  for (uint32_t i = 0; i < nv; ++i) {
    r[i] = shift == 0 ? un[i] : (un[i] >> shift) | (un[i + 1] << (32 - shift));
  }
}

}  // namespace zelkit::detail::words
