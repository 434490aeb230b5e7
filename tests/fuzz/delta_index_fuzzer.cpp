// libFuzzer target: ParseDeltaIndex never throws, leaves an empty index when
// it refuses, and what it accepts reads back the same from the publisher's
// layout.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "formats/delta_index.h"

namespace {

std::string Members(const zavex::DeltaArtifact& artifact) {
  return ", \"size\": " + std::to_string(artifact.size) + ", \"sha256\": \"" + artifact.hash + "\"}";
}

bool SameArtifacts(const std::map<std::string, zavex::DeltaArtifact>& a,
                   const std::map<std::string, zavex::DeltaArtifact>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.first == y.first && x.second.size == y.second.size && x.second.hash == y.second.hash;
  });
}

std::string Layout(const zavex::DeltaIndex& index) {
  std::string compressed;
  for (const auto& [hash, artifact] : index.compressed) {
    compressed += std::string(compressed.empty() ? "" : ",") + "{\"hash\": \"" + hash + "\"" + Members(artifact);
  }
  std::string patches;
  for (const auto& [name, artifact] : index.patches) {
    patches += std::string(patches.empty() ? "" : ",") + "{\"from\": \"" + name.substr(0, 64) +
               "\", \"to\": \"" + name.substr(65, 64) + "\"" + Members(artifact);
  }
  return "{\"compressed\": [" + compressed + "], \"patches\": [" + patches + "]}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  zavex::DeltaIndex index;
  index.compressed["stale"] = {1, "stale"};
  if (!zavex::ParseDeltaIndex(input, index)) {
    if (!index.compressed.empty() || !index.patches.empty()) __builtin_trap();
    return 0;
  }
  for (const auto& [name, artifact] : index.patches) {
    if (name.size() != 64 + 1 + 64 + 6 || artifact.size == 0 || artifact.size > UINT32_MAX ||
        artifact.hash.size() != 64) {
      __builtin_trap();
    }
  }
  zavex::DeltaIndex reread;
  if (!zavex::ParseDeltaIndex(Layout(index), reread) || !SameArtifacts(reread.compressed, index.compressed) ||
      !SameArtifacts(reread.patches, index.patches)) {
    __builtin_trap();
  }
  return 0;
}
