#include "formats/fetch_plan.h"

#include "formats/path_index.h"

namespace zavex {
namespace {

// A patch or copy no smaller than the file saves nothing.
bool SavesBytes(const DeltaArtifact* artifact, const ManifestFile& file) {
  return artifact && artifact->size < file.size;
}

// The forward patch, which reads the installed file once in order, unless
// the other patch is smaller by more than an eighth of its size.
bool TakesForward(const DeltaArtifact* forward, const DeltaArtifact* patch, const ManifestFile& file) {
  return SavesBytes(forward, file) && (!SavesBytes(patch, file) || forward->size - forward->size / 9 <= patch->size);
}

std::vector<FetchWay> WaysFor(const ManifestFile& file, const ManifestFile* installed, const DeltaIndex& index) {
  std::vector<FetchWay> ways;
  if (installed) {
    const DeltaArtifact* forward = index.FindForwardPatch(installed->hash, file.hash);
    const DeltaArtifact* patch = index.FindPatch(installed->hash, file.hash);
    if (TakesForward(forward, patch, file)) {
      ways.push_back({FetchWayKind::kPatch, DeltaFolderPath(ForwardPatchName(installed->hash, file.hash)),
                      forward->size, forward->hash, installed->hash, true});
    } else if (SavesBytes(patch, file)) {
      ways.push_back({FetchWayKind::kPatch, DeltaFolderPath(PatchName(installed->hash, file.hash)), patch->size,
                      patch->hash, installed->hash});
    }
  }
  const DeltaArtifact* copy = index.FindCompressed(file.hash);
  if (SavesBytes(copy, file)) {
    ways.push_back({FetchWayKind::kCompressed, DeltaFolderPath(CompressedCopyName(file.hash)), copy->size,
                    copy->hash, ""});
  }
  ways.push_back({FetchWayKind::kWhole, file.path, file.size, file.hash, ""});
  return ways;
}

}  // namespace

std::vector<std::vector<FetchWay>> PlanFetchWays(const std::vector<ManifestFile>& files,
                                                 const Manifest& installed, const DeltaIndex& index) {
  std::vector<std::vector<FetchWay>> ways;
  ways.reserve(files.size());
  PathIndex(installed.files).ForEachMatch(files, [&](const ManifestFile& file, const ManifestFile* match) {
    ways.push_back(WaysFor(file, match, index));
  });
  return ways;
}

}  // namespace zavex
