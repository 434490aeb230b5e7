#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/delta_index.h"
#include "formats/manifest.h"
#include "ops/release_server.h"
#include "platform/http_client.h"

namespace zavex {

enum class FetchWayKind { kPatch, kCompressed, kWhole };

// One way to bring a file: what to fetch, below the server's base URL.
struct FetchWay {
  FetchWayKind kind = FetchWayKind::kWhole;
  std::string urlPath;
  uint64_t size = 0;     // the bytes it fetches
  std::string fromHash;  // a patch's installed content
};

// The ways to bring each file of files, best first and the whole file last:
// the patch from installed's content of its path, then its compressed copy,
// each when index lists one smaller than the file.
std::vector<std::vector<FetchWay>> PlanFetchWays(const std::vector<ManifestFile>& files,
                                                 const Manifest& installed,
                                                 const DeltaIndex& index);

// Gets and reads the server's index of compressed copies and patches. False,
// logged in one line and index empty, when there is none or it cannot be
// read: the files then come whole. Nothing in it is trusted: every file it leads to is
// checked against the signed manifest.
bool FetchDeltaIndex(HttpClient& http, const ReleaseServer& server, bool addNoCacheQuery,
                     DeltaIndex& index);

}  // namespace zavex
