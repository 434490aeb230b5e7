#include "ops/placing_phase.h"

#include <windows.h>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "platform/file_system.h"
#include "platform/held_executable.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

std::wstring PreviousVersionPath(const std::wstring& finalPath) { return finalPath + L".old"; }

// Back in place from ".old", over whatever stands at finalPath.
bool PutPreviousBack(const std::wstring& finalPath) {
  const std::wstring oldPath = PreviousVersionPath(finalPath);
  if (MoveFileExW(oldPath.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  return CopyFileW(oldPath.c_str(), finalPath.c_str(), FALSE) && RemoveFile(oldPath);
}

void DeleteTempFiles(const std::vector<const StagedFile*>& files) {
  for (const StagedFile* file : files) RemoveFile(file->tempPath);
}

void RollBack(const std::vector<PlacedFile>& placed) {
  for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
    const std::wstring& finalPath = it->file->finalPath;
    if (it->previousKept ? PutPreviousBack(finalPath) : RemoveFile(finalPath)) {
      Logger::Instance().Warn("Rolled back: " + it->file->entry.path);
    }
  }
}

bool IsLeftoverName(const std::wstring& name) {
  if (name.size() <= 4) return false;
  const std::wstring suffix = name.substr(name.size() - 4);
  return suffix == L".old" || suffix == L".tmp";
}

}  // namespace

void RestoreMissingFromOld(const std::wstring& installPath, const Manifest& record) {
  for (const ManifestFile& file : record.files) {
    const std::wstring finalPath = installPath + L"\\" + Utf8ToWide(file.path);
    if (IsExistingFile(finalPath) || !IsExistingFile(PreviousVersionPath(finalPath))) continue;
    if (PutPreviousBack(finalPath)) Logger::Instance().Warn("Restored from .old: " + file.path);
  }
}

bool SwapIntoPlace(const std::wstring& tempPath, const std::wstring& finalPath,
                   bool& previousKept) {
  const std::wstring oldPath = PreviousVersionPath(finalPath);
  previousKept = false;
  if (IsExistingFile(finalPath)) {
    if (IsExistingFile(oldPath)) RemoveFile(oldPath);
    previousKept = MoveFileW(finalPath.c_str(), oldPath.c_str()) ||
                   CopyFileW(finalPath.c_str(), oldPath.c_str(), FALSE);
    if (!previousKept) return false;
  }
  if (MoveFileExW(tempPath.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  if (CopyFileW(tempPath.c_str(), finalPath.c_str(), FALSE)) {
    RemoveFile(tempPath);
    return true;
  }
  if (previousKept) {
    const DWORD placingError = GetLastError();
    PutPreviousBack(finalPath);
    SetLastError(placingError);
  }
  previousKept = false;
  return false;
}

bool PlacingPhase(const std::vector<const StagedFile*>& verified,
                  std::vector<PlacedFile>& placed, std::wstring& error) {
  for (const StagedFile* file : verified) {
    if (StopHoldingIfAt(file->finalPath)) {
      Logger::Instance().Info("Released the running executable to replace it: " +
                              file->entry.path);
    }
    bool previousKept = false;
    if (SwapIntoPlace(file->tempPath, file->finalPath, previousKept)) {
      placed.push_back(PlacedFile{file, previousKept});
      continue;
    }
    const DWORD code = GetLastError();
    Logger::Instance().Error("Failed to install: " + file->entry.path + WindowsErrorText(code));
    RollBack(placed);
    placed.clear();
    DeleteTempFiles(verified);
    error = L"Falha ao instalar: " + file->widePath;
    return false;
  }
  return true;
}

void DeletePreviousVersions(const std::vector<PlacedFile>& placed) {
  for (const PlacedFile& file : placed) {
    if (!file.previousKept) continue;
    const std::string step = "Deleting the previous version of " + file.file->entry.path;
    BestEffort(RemoveFile(PreviousVersionPath(file.file->finalPath)), step);
  }
}

void CleanupLeftovers(const std::wstring& folder) {
  WIN32_FIND_DATAW entry = {};
  UniqueFind search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
  if (!search) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A linked folder may lead out of the installation: leave it alone.
      if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) CleanupLeftovers(path);
    } else if (IsLeftoverName(name)) {
      const std::string step = "Deleting the leftover " + WideToUtf8(path);
      BestEffort(DeleteFileW(path.c_str()), step);
    }
  } while (FindNextFileW(search.get(), &entry));
}

}  // namespace zavex
