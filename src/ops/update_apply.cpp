#include "ops/update_apply.h"

#include <windows.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "app/logger.h"
#include "app/text_conversion.h"
#include "ops/application_control.h"
#include "ops/installed_manifest.h"
#include "platform/file_system.h"
#include "platform/held_executable.h"
#include "platform/link_safe_removal.h"
#include "platform/unique_handle.h"

namespace zavex {

// The plan, once what an interrupted run left has been put back.

namespace {

std::wstring PreviousVersionPath(const std::wstring& finalPath) { return finalPath + L".old"; }

// Back in place from ".old", over whatever stands at finalPath.
bool PutPreviousBack(const std::wstring& finalPath) {
  const std::wstring oldPath = PreviousVersionPath(finalPath);
  if (MoveFileExW(oldPath.c_str(), finalPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  return CopyFileW(oldPath.c_str(), finalPath.c_str(), FALSE) && RemoveFile(oldPath);
}

}  // namespace

void RestoreMissingFromOld(const std::wstring& installPath, const Manifest& record) {
  for (const ManifestFile& file : record.files) {
    const std::wstring finalPath = installPath + L"\\" + Utf8ToWide(file.path);
    if (IsExistingFile(finalPath) || !IsExistingFile(PreviousVersionPath(finalPath))) continue;
    if (PutPreviousBack(finalPath)) Logger::Instance().Warn("Restored from .old: " + file.path);
  }
}

namespace {

struct UpdatePlan {
  std::vector<StagedFile> files;
  std::vector<std::string> pathsToDelete;
  TransferCounts counts;
};

// The server manifest of the last positive check, or of a fresh one.
bool EnsureServerManifest(UpdaterState& state, std::wstring& error) {
  if (IsValid(state.remoteManifest)) return true;
  std::wstring checkError;
  RunUpdateCheck(state, checkError);
  if (IsValid(state.remoteManifest)) return true;
  error = checkError.empty() ? L"Falha ao verificar atualização" : checkError;
  return false;
}

// The installed updater stays when a release no longer lists it.
std::vector<std::string> PathsToDelete(const UpdaterState& state) {
  std::vector<std::string> paths = GetFilesToDelete(state.remoteManifest, state.localManifest);
  paths.erase(std::remove_if(paths.begin(), paths.end(), IsUpdaterPath), paths.end());
  return paths;
}

UpdatePlan PlanUpdate(const UpdaterState& state) {
  const std::vector<ManifestFile> filesToUpdate =
      GetFilesToUpdate(state.remoteManifest, state.localManifest);
  UpdatePlan plan{StageFiles(state.installPath, filesToUpdate), PathsToDelete(state),
                  CountTransfer(filesToUpdate)};
  Logger& log = Logger::Instance();
  log.Info("Files to update: " + std::to_string(filesToUpdate.size()));
  log.Info("Files to delete: " + std::to_string(plan.pathsToDelete.size()));
  for (const ManifestFile& file : filesToUpdate) {
    log.Debug("  - " + file.path + " (expected hash: " + file.hash +
              ", size: " + std::to_string(file.size) + ")");
  }
  return plan;
}

bool ReplacesUpdater(const DownloadedFiles& downloaded) {
  return std::any_of(downloaded.verified.begin(), downloaded.verified.end(),
                     [](const StagedFile* file) { return IsUpdaterPath(file->entry.path); });
}

void DeleteTempFiles(const std::vector<const StagedFile*>& files) {
  for (const StagedFile* file : files) RemoveFile(file->tempPath);
}

}  // namespace

// The placing phase.

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
  if (previousKept) PutPreviousBack(finalPath);
  previousKept = false;
  return false;
}

namespace {

void RollBack(const std::vector<PlacedFile>& placed) {
  for (auto it = placed.rbegin(); it != placed.rend(); ++it) {
    const std::wstring& finalPath = it->file->finalPath;
    if (it->previousKept ? PutPreviousBack(finalPath) : RemoveFile(finalPath)) {
      Logger::Instance().Warn("Rolled back: " + it->file->entry.path);
    }
  }
}

}  // namespace

bool PlacingPhase(const std::vector<const StagedFile*>& verified,
                  std::vector<PlacedFile>& placed, std::wstring& error) {
  for (const StagedFile* file : verified) {
    bool previousKept = false;
    if (SwapIntoPlace(file->tempPath, file->finalPath, previousKept)) {
      placed.push_back(PlacedFile{file, previousKept});
      continue;
    }
    Logger::Instance().Error("Failed to install: " + file->entry.path);
    RollBack(placed);
    placed.clear();
    DeleteTempFiles(verified);
    error = L"Falha ao instalar: " + file->widePath;
    return false;
  }
  return true;
}

// The commit.

void DeletePreviousVersions(const std::vector<PlacedFile>& placed) {
  for (const PlacedFile& file : placed) {
    if (file.previousKept) RemoveFile(PreviousVersionPath(file.file->finalPath));
  }
}

Manifest ManifestToRecord(const Manifest& server, const Manifest& installed,
                          const std::vector<std::string>& missingOptional) {
  Manifest record = server;
  record.expires.clear();
  if (missingOptional.empty()) return record;
  const std::unordered_set<std::string> missing(missingOptional.begin(), missingOptional.end());
  std::unordered_map<std::string, const ManifestFile*> installedEntries;
  for (const ManifestFile& file : installed.files) installedEntries.emplace(file.path, &file);

  record.files.clear();
  for (const ManifestFile& file : server.files) {
    if (missing.count(file.path) == 0) {
      record.files.push_back(file);
      continue;
    }
    const auto previous = installedEntries.find(file.path);
    if (previous != installedEntries.end()) record.files.push_back(*previous->second);
  }
  return record;
}

namespace {

void DeleteRemovedFiles(const std::wstring& installPath, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const std::wstring fullPath = installPath + L"\\" + Utf8ToWide(path);
    if (PathCrossesLink(installPath, fullPath)) {
      Logger::Instance().Warn("Not deleted, behind a link: " + path);
      continue;
    }
    RemoveFile(fullPath);
  }
}

bool CommitUpdate(const UpdaterState& state, const UpdatePlan& plan,
                  const DownloadedFiles& downloaded, const DownloadRun& run,
                  std::wstring& error) {
  DeleteRemovedFiles(state.installPath, plan.pathsToDelete);
  ReportProgress(run.onProgress, run.counts.Completed(), L"Salvando configurações...");
  const Manifest record =
      ManifestToRecord(state.remoteManifest, state.localManifest, downloaded.missingOptional);
  if (!SaveInstalledManifest(state.installPath, record, error)) return false;
  CleanupLeftovers(state.installPath);
  return true;
}

bool IsLeftoverName(const std::wstring& name) {
  if (name.size() <= 4) return false;
  const std::wstring suffix = name.substr(name.size() - 4);
  return suffix == L".old" || suffix == L".tmp";
}

}  // namespace

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
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(search.get(), &entry));
}

bool DoUpdate(UpdaterState& state, const ProgressCallback& onProgress, std::wstring& error) {
  HttpClient http(&state.cancel);
  Logger& log = Logger::Instance();
  log.Info("--- Starting update process ---");
  if (!EnsureServerManifest(state, error)) return false;
  RestoreMissingFromOld(state.installPath, state.localManifest);

  const UpdatePlan plan = PlanUpdate(state);
  if (plan.files.empty() && plan.pathsToDelete.empty()) {
    log.Info("No files to update");
    return true;
  }
  if (!CloseApplicationAndWait()) {
    error = L"Não foi possível fechar o Zavex Phone. Por favor, feche manualmente.";
    return false;
  }
  DownloadRun run{state.installPath, state.cancel, onProgress, true, http, plan.counts};
  DownloadedFiles downloaded;
  if (!DownloadPhase(run, plan.files, downloaded, error)) return false;
  // The installed updater this release replaces may be the running program:
  // it can be moved aside only while nothing holds it. The update never
  // copies itself, so it needs the hold no longer.
  if (ReplacesUpdater(downloaded)) ReleaseHeldExecutable();
  std::vector<PlacedFile> placed;
  if (!PlacingPhase(downloaded.verified, placed, error)) return false;
  if (!CommitUpdate(state, plan, downloaded, run, error)) return false;
  log.Info("--- Update completed successfully ---");
  return true;
}

}  // namespace zavex
