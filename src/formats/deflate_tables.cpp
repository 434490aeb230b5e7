#include "formats/deflate_tables.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <utility>

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

void BuildLimitedCodeLengths(std::vector<std::uint32_t> frequencies, unsigned limit, std::uint8_t* lengths) {
  const unsigned count = static_cast<unsigned>(frequencies.size());
  auto used = std::count_if(frequencies.begin(), frequencies.end(), [](std::uint32_t f) { return f > 0; });
  for (unsigned symbol = 0; used < 2; ++symbol) {
    if (frequencies[symbol] == 0) {
      frequencies[symbol] = 1;
      ++used;
    }
  }
  for (;;) {
    using Node = std::pair<std::uint64_t, unsigned>;
    std::priority_queue<Node, std::vector<Node>, std::greater<Node>> queue;
    std::vector<unsigned> parent(2 * count, 0);
    for (unsigned symbol = 0; symbol < count; ++symbol) {
      if (frequencies[symbol] > 0) queue.push({frequencies[symbol], symbol});
    }
    unsigned next = count;
    while (queue.size() > 1) {
      const Node first = queue.top();
      queue.pop();
      const Node second = queue.top();
      queue.pop();
      parent[first.second] = parent[second.second] = next;
      queue.push({first.first + second.first, next++});
    }
    const unsigned root = next - 1;
    unsigned longest = 0;
    for (unsigned symbol = 0; symbol < count; ++symbol) {
      unsigned depth = 0;
      if (frequencies[symbol] > 0) {
        for (unsigned node = symbol; node != root; node = parent[node]) ++depth;
      }
      lengths[symbol] = static_cast<std::uint8_t>(depth);
      longest = std::max(longest, depth);
    }
    if (longest <= limit) return;
    for (std::uint32_t& frequency : frequencies) {
      if (frequency > 0) frequency = (frequency >> 1) | 1u;
    }
  }
}

}  // namespace zavex::deflate
