#include "formats/deflate_tables.h"

namespace zavex::deflate {

bool AssignCanonicalCodes(const std::uint8_t* lengths, unsigned count, std::uint16_t* codes) {
  unsigned lengthCounts[kMaxCodeBits + 1] = {};
  for (unsigned symbol = 0; symbol < count; ++symbol) ++lengthCounts[lengths[symbol]];
  lengthCounts[0] = 0;
  int left = 1;
  std::uint32_t nextCode[kMaxCodeBits + 2] = {};
  for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
    left = left * 2 - static_cast<int>(lengthCounts[length]);
    if (left < 0) return false;
    nextCode[length + 1] = (nextCode[length] + lengthCounts[length]) << 1;
  }
  for (unsigned symbol = 0; symbol < count; ++symbol) {
    codes[symbol] = lengths[symbol] == 0 ? 0 : static_cast<std::uint16_t>(nextCode[lengths[symbol]]++);
  }
  return true;
}

}  // namespace zavex::deflate
