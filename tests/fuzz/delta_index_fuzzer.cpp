// libFuzzer target: ParseDeltaIndex never throws, leaves an empty index when
// it refuses, and what it accepts reads back the same from the publisher's
// layout.
#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/delta_index.h"

namespace {

std::string Layout(const zavex::DeltaIndex& index) {
  std::string compressed;
  for (const auto& [hash, size] : index.compressedSizes) {
    compressed += std::string(compressed.empty() ? "" : ",") + "{\"hash\": \"" + hash +
                  "\", \"size\": " + std::to_string(size) + "}";
  }
  std::string patches;
  for (const auto& [name, size] : index.patchSizes) {
    patches += std::string(patches.empty() ? "" : ",") + "{\"from\": \"" + name.substr(0, 64) +
               "\", \"to\": \"" + name.substr(65, 64) + "\", \"size\": " + std::to_string(size) + "}";
  }
  return "{\"compressed\": [" + compressed + "], \"patches\": [" + patches + "]}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  zavex::DeltaIndex index;
  index.compressedSizes["stale"] = 1;
  if (!zavex::ParseDeltaIndex(input, index)) {
    if (!index.compressedSizes.empty() || !index.patchSizes.empty()) __builtin_trap();
    return 0;
  }
  for (const auto& entry : index.patchSizes) {
    if (entry.first.size() != 64 + 1 + 64 + 6 || entry.second == 0 || entry.second > UINT32_MAX) __builtin_trap();
  }
  zavex::DeltaIndex reread;
  if (!zavex::ParseDeltaIndex(Layout(index), reread) || reread.compressedSizes != index.compressedSizes ||
      reread.patchSizes != index.patchSizes) {
    __builtin_trap();
  }
  return 0;
}
