#include "core/wire/conversions.h"

namespace zelkit::detail {

int setSocketFlag(platform::Socket socket, int level, int option, unsigned char value) {
  return platform::setSocketOption(socket, level, option, &value, 1);
}

}  // namespace zelkit::detail
