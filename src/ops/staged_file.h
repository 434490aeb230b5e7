#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/delta_index.h"
#include "formats/fetch_plan.h"
#include "formats/manifest.h"
#include "ops/operation_callbacks.h"

namespace zavex {

// One file of a run, downloaded beside its place before it is put there.
struct StagedFile {
  StagedFile(const std::wstring& installPath, const ManifestFile& manifestEntry);

  ManifestFile entry;
  std::wstring widePath;
  std::wstring finalPath;  // installPath, "\" and the path, separators as written
  std::wstring tempPath;   // finalPath + ".tmp"
  std::vector<FetchWay> ways = {{FetchWayKind::kWhole, entry.path, entry.size, entry.hash, ""}};

  // What the first way fetches.
  uint64_t PlannedBytes() const { return ways.front().size; }
};

// The files of entries, each with the ways that installed (the installed
// record, or an empty manifest) and index offer.
std::vector<StagedFile> StageFiles(const std::wstring& installPath,
                                   const std::vector<ManifestFile>& entries,
                                   const Manifest& installed = {}, const DeltaIndex& index = {});

// Splits files into those whose temp file a run that staged them left with
// exactly the signed content (a plain file, not behind a link, of the
// entry's size and SHA-256), and the others, which are to be fetched.
void SplitStagedFiles(const std::wstring& installPath, const std::vector<StagedFile>& files,
                      std::vector<const StagedFile*>& staged, std::vector<StagedFile>& toFetch);

// The files, and the bytes their first ways fetch.
TransferCounts CountTransfer(const std::vector<StagedFile>& files);

}  // namespace zavex
