#include "ops/download_staging.h"

#include <windows.h>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "formats/manifest.h"
#include "platform/file_system.h"
#include "platform/link_safe_removal.h"

namespace zavex {
namespace {

const wchar_t* KindFolder(StagedKind kind) {
  switch (kind) {
    case StagedKind::kPatch:
      return L"patch";
    case StagedKind::kCompressedCopy:
      return L"copy";
    case StagedKind::kNote:
      break;
  }
  return L"note";
}

std::wstring StagingFolderOf(const std::wstring& installPath) {
  return installPath + L"\\" + Utf8ToWide(kStagingFolderName);
}

}  // namespace

std::wstring StagingPath(const std::wstring& installPath, StagedKind kind, const std::wstring& entryPath) {
  return StagingFolderOf(installPath) + L"\\" + KindFolder(kind) + L"\\" + entryPath;
}

bool PrepareStagingPath(const std::wstring& installPath, const std::wstring& path) {
  if (PathCrossesLink(installPath, path)) return false;
  return CreateDirectoryRecursive(ParentFolderOf(path));
}

void RemoveStagingFolder(const std::wstring& installPath) {
  const std::wstring folder = StagingFolderOf(installPath);
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  BestEffort(RemoveTreeWithoutFollowingLinks(folder), "Removing the staging folder " + WideToUtf8(folder));
}

}  // namespace zavex
