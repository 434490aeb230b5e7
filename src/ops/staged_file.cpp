#include "ops/staged_file.h"

#include "base/text_conversion.h"

namespace zavex {

StagedFile::StagedFile(const std::wstring& installPath, const ManifestFile& manifestEntry)
    : entry(manifestEntry),
      widePath(Utf8ToWide(manifestEntry.path)),
      finalPath(installPath + L"\\" + widePath),
      tempPath(finalPath + L".tmp") {}

std::vector<StagedFile> StageFiles(const std::wstring& installPath,
                                   const std::vector<ManifestFile>& entries,
                                   const Manifest& installed, const DeltaIndex& index) {
  std::vector<std::vector<FetchWay>> ways = PlanFetchWays(entries, installed, index);
  std::vector<StagedFile> files;
  files.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    files.emplace_back(installPath, entries[i]);
    files.back().ways = std::move(ways[i]);
  }
  return files;
}

TransferCounts CountTransfer(const std::vector<StagedFile>& files) {
  TransferCounts counts;
  counts.totalFiles = static_cast<int>(files.size());
  for (const StagedFile& file : files) counts.totalBytes += file.PlannedBytes();
  return counts;
}

}  // namespace zavex
