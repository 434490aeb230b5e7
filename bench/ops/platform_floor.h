#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/manifest.h"

namespace zavex::bench {

struct FloorFigures {
  size_t files = 0;
  uint64_t bytes = 0;
  double seconds = 0;
};

// The least an install or update of these files costs through the program's
// own platform layer: each file downloaded from baseUrl + path into
// folder\path with one HttpClient and hashed with one Sha256Hasher, and
// nothing else (no log, no progress, no ".tmp" and ".old"). False, with the
// path in error, when a download fails or a hash differs.
bool FetchAndVerify(const std::vector<ManifestFile>& files, const std::wstring& baseUrl,
                    const std::wstring& folder, FloorFigures& figures, std::string& error);

}  // namespace zavex::bench
