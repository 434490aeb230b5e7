#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/delta_index.h"
#include "formats/manifest.h"

namespace zavex {

enum class FetchWayKind { kPatch, kCompressed, kWhole };

// One way to bring a file: what to fetch, below the server's base URL.
struct FetchWay {
  FetchWayKind kind = FetchWayKind::kWhole;
  std::string urlPath;
  std::uint64_t size = 0;  // the bytes it fetches
  std::string hash;        // their SHA-256
  std::string fromHash;    // a patch's installed content
  bool forward = false;    // a forward patch, applied as it arrives
};

// The ways to bring each file of files, best first and the whole file last:
// the patch from installed's content of its path (the forward one when
// listed, unless it is more than an eighth larger than the other), then its
// compressed copy,
// each when index lists one smaller than the file.
std::vector<std::vector<FetchWay>> PlanFetchWays(const std::vector<ManifestFile>& files,
                                                 const Manifest& installed, const DeltaIndex& index);

}  // namespace zavex
