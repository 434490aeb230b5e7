#include "ops/placing_phase.h"

#include <windows.h>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "formats/placing_journal.h"
#include "ops/test_hooks.h"
#include "platform/file_system.h"
#include "platform/held_executable.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

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

// The file copied to ".old.tmp" and renamed to ".old", so that a cut copy
// never stands as ".old".
bool CopyAside(const std::wstring& finalPath, const std::wstring& oldPath) {
  const std::wstring copyPath = oldPath + L".tmp";
  if (CopyFileW(finalPath.c_str(), copyPath.c_str(), FALSE) &&
      MoveFileExW(copyPath.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  const DWORD code = GetLastError();
  RemoveFile(copyPath);
  SetLastError(code);
  return false;
}

// Each ".old" that an earlier run left beside a file of this placing goes
// before the journal is written, so that every ".old" a cut placing leaves is
// its own; false, naming the file, when one stays.
bool DeleteEarlierPreviousVersions(const std::vector<const StagedFile*>& verified,
                                   std::wstring& error) {
  for (const StagedFile* file : verified) {
    const std::wstring oldPath = PreviousVersionPath(file->finalPath);
    if (!IsExistingFile(oldPath) || RemoveFile(oldPath)) continue;
    Logger::Instance().Error("Failed to delete the earlier " + file->entry.path + ".old" +
                             WindowsErrorText(GetLastError()));
    error = L"Falha ao instalar: " + file->widePath;
    return false;
  }
  return true;
}

// A release may not put a file where the journal stands.
bool LandsOnJournal(const std::wstring& installPath,
                    const std::vector<const StagedFile*>& verified, std::wstring& error) {
  const std::wstring journalPath = PlacingJournalPath(installPath);
  for (const StagedFile* file : verified) {
    if (!IsSamePath(file->finalPath, journalPath)) continue;
    Logger::Instance().Error("Refused to place a file over the placing journal: " +
                             file->entry.path);
    error = L"Falha ao instalar: " + file->widePath;
    return true;
  }
  return false;
}

// Everything before the first swap; false with nothing swapped.
bool PrepareSwaps(const std::wstring& installPath, const Manifest& installed,
                  const std::vector<const StagedFile*>& verified, PlacingJournal& journal,
                  std::wstring& error) {
  if (LandsOnJournal(installPath, verified, error) ||
      !DeleteEarlierPreviousVersions(verified, error)) {
    return false;
  }
  if (journal.Write(installPath, installed, verified)) return true;
  error = L"Falha ao instalar: " + Utf8ToWide(kPlacingJournalName);
  return false;
}

}  // namespace

std::wstring PreviousVersionPath(const std::wstring& finalPath) { return finalPath + L".old"; }

bool PutPreviousBack(const std::wstring& finalPath) {
  const std::wstring oldPath = PreviousVersionPath(finalPath);
  if (MoveFileExW(oldPath.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  return CopyFileW(oldPath.c_str(), finalPath.c_str(), FALSE) && RemoveFile(oldPath);
}

bool SwapIntoPlace(const std::wstring& tempPath, const std::wstring& finalPath,
                   bool& previousKept) {
  const std::wstring oldPath = PreviousVersionPath(finalPath);
  previousKept = false;
  if (IsExistingFile(finalPath)) {
    if (IsExistingFile(oldPath)) RemoveFile(oldPath);
    previousKept = MoveFileW(finalPath.c_str(), oldPath.c_str()) ||
                   CopyAside(finalPath, oldPath);
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

bool PlacingPhase(const std::wstring& installPath, const Manifest& installed,
                  const std::vector<const StagedFile*>& verified, PlacingJournal& journal,
                  std::vector<PlacedFile>& placed, std::wstring& error) {
  if (verified.empty()) return true;
  if (!PrepareSwaps(installPath, installed, verified, journal, error)) {
    DeleteTempFiles(verified);
    return false;
  }
  for (const StagedFile* file : verified) {
    if (const DWORD pauseMs = PlacingPauseForTestsMs()) Sleep(pauseMs);
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
    journal.Remove();
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
