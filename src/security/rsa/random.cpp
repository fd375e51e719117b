#include "security/rsa/random.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/random.h"

namespace zelkit::detail {

void randomBytes(uint8_t* out, int count) {
  if (count <= 0) return;
  // Without the system's generator there is nothing safe to hand out:
  // predictable padding or session randoms would expose the keys.
  if (!platform::randomBytes(out, static_cast<std::size_t>(count))) std::abort();
}

uint32_t randomWord() {
  uint32_t word;
  if (!platform::randomBytes(&word, sizeof word)) {
    std::printf("Error %x during CryptGenRandom!\n", static_cast<unsigned>(errno));
    return 0xFFFFFFFF;
  }
  return word;
}

}  // namespace zelkit::detail
