#include "ops/staged_file.h"

#include <windows.h>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "platform/link_safe_removal.h"
#include "platform/sha256_hasher.h"

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

namespace {

bool HoldsSignedContent(const std::wstring& installPath, const StagedFile& file) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(file.tempPath.c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return size == file.entry.size && !PathCrossesLink(installPath, file.tempPath) &&
         Sha256Hasher().HashFile(file.tempPath) == file.entry.hash;
}

}  // namespace

void SplitStagedFiles(const std::wstring& installPath, const std::vector<StagedFile>& files,
                      std::vector<const StagedFile*>& staged, std::vector<StagedFile>& toFetch) {
  for (const StagedFile& file : files) {
    if (HoldsSignedContent(installPath, file)) {
      Logger::Instance().Info("Staged file verified again: " + file.entry.path);
      staged.push_back(&file);
    } else {
      toFetch.push_back(file);
    }
  }
}

}  // namespace zavex
