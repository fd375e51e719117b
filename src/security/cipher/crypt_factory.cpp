#include "security/cipher/aes.h"
#include "security/cipher/crypt.h"
#include "security/cipher/des.h"

namespace zelkit::detail {

C_Cryptlfc* createCrypt(int32_t type) {
  switch (type) {
    case CryptAes:
      return new C_CryptAES;
    case CryptDes:
      return new C_CryptDES;
    default:
      return nullptr;
  }
}

}  // namespace zelkit::detail
