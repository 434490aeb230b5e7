#include "platform/system_random.h"

#include <windows.h>
#include <bcrypt.h>

namespace zavex {

bool FillWithSystemRandom(std::uint8_t* bytes, std::size_t count) {
  return BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(count),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
}

}  // namespace zavex
