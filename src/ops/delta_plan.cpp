#include "ops/delta_plan.h"

#include "base/logger.h"
#include "base/text_conversion.h"
#include "formats/path_index.h"
#include "ops/server_manifest.h"

namespace zavex {
namespace {

std::string DeltaUrlPath(const std::string& name) { return std::string(kDeltaFolderName) + "/" + name; }

std::vector<FetchWay> WaysFor(const ManifestFile& file, const ManifestFile* installed,
                              const DeltaIndex& index) {
  std::vector<FetchWay> ways;
  // A patch or copy no smaller than the file saves nothing.
  if (installed) {
    const uint64_t patchSize = index.PatchSize(installed->hash, file.hash);
    if (patchSize > 0 && patchSize < file.size) {
      ways.push_back({FetchWayKind::kPatch, DeltaUrlPath(PatchName(installed->hash, file.hash)), patchSize,
                      installed->hash});
    }
  }
  const uint64_t copySize = index.CompressedSize(file.hash);
  if (copySize > 0 && copySize < file.size) {
    ways.push_back({FetchWayKind::kCompressed, DeltaUrlPath(CompressedCopyName(file.hash)), copySize, ""});
  }
  ways.push_back({FetchWayKind::kWhole, file.path, file.size, ""});
  return ways;
}

}  // namespace

std::vector<std::vector<FetchWay>> PlanFetchWays(const std::vector<ManifestFile>& files,
                                                 const Manifest& installed,
                                                 const DeltaIndex& index) {
  std::vector<std::vector<FetchWay>> ways;
  ways.reserve(files.size());
  PathIndex(installed.files).ForEachMatch(files, [&](const ManifestFile& file, const ManifestFile* match) {
    ways.push_back(WaysFor(file, match, index));
  });
  return ways;
}

bool FetchDeltaIndex(HttpClient& http, const ReleaseServer& server, bool addNoCacheQuery,
                     DeltaIndex& index) {
  Logger& log = Logger::Instance();
  index = DeltaIndex();
  const std::wstring url = server.baseUrl + Utf8ToWide(DeltaUrlPath(kDeltaIndexName)) +
                           (addNoCacheQuery ? NoCacheQuery() : L"");
  const HttpResponse response = http.Get(url, kMaxDeltaIndexBytes);
  if (!response.success) {
    log.Info("No index of compressed copies and patches (" + response.failure.reason + "): whole files");
    return false;
  }
  if (!ParseDeltaIndex(response.body, index)) {
    log.Warn("The index of compressed copies and patches is malformed: whole files");
    return false;
  }
  log.Info("Index of compressed copies and patches: " + std::to_string(index.compressedSizes.size()) +
           " copies, " + std::to_string(index.patchSizes.size()) + " patches");
  return true;
}

}  // namespace zavex
