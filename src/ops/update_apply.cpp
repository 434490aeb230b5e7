#include "ops/update_apply.h"

#include <windows.h>

#include <vector>

#include "app/logger.h"
#include "app/server_config.h"
#include "app/text_conversion.h"
#include "ops/application_control.h"
#include "ops/file_transfer.h"
#include "ops/installed_manifest.h"
#include "platform/file_system.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

struct UpdatePlan {
  std::vector<ManifestFile> filesToUpdate;
  std::vector<std::string> pathsToDelete;
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

UpdatePlan PlanUpdate(const UpdaterState& state) {
  UpdatePlan plan{GetFilesToUpdate(state.remoteManifest, state.localManifest),
                  GetFilesToDelete(state.remoteManifest, state.localManifest)};
  Logger& log = Logger::Instance();
  log.Info("Files to update: " + std::to_string(plan.filesToUpdate.size()));
  log.Info("Files to delete: " + std::to_string(plan.pathsToDelete.size()));
  for (const ManifestFile& file : plan.filesToUpdate) {
    log.Debug("  - " + file.path + " (expected hash: " + file.hash +
              ", size: " + std::to_string(file.size) + ")");
  }
  return plan;
}

struct UpdateRun {
  UpdaterState& state;
  const ProgressCallback& onProgress;
  HttpClient& http;
  Sha256Hasher& hasher;
  TransferCounts counts;
};

// False ends the update; an optional file that fails is skipped.
bool UpdateFile(UpdateRun& run, const ManifestFile& entry, std::wstring& error) {
  if (run.state.cancel.IsCancelled()) {
    error = L"Cancelado pelo usuário";
    return false;
  }
  const std::wstring widePath = Utf8ToWide(entry.path);
  const std::wstring url = ServerBaseUrl + widePath + NoCacheQuery();
  const std::wstring finalPath = run.state.installPath + L"\\" + widePath;
  const std::wstring tempPath = finalPath + L".tmp";
  CreateParentFolder(finalPath);
  ReportProgress(run.onProgress, run.counts, widePath);

  Logger& log = Logger::Instance();
  log.Info("Downloading: " + entry.path);
  log.Debug("  URL: " + WideToUtf8(url));
  log.Debug("  Temp path: " + WideToUtf8(tempPath));
  log.Debug("  Final path: " + WideToUtf8(finalPath));
  const auto progress =
      MakeDownloadProgress(run.state.cancel, run.onProgress, run.counts, widePath);
  if (!DownloadEntry(run.http, entry, url, tempPath, progress, run.state.cancel)) {
    RemoveFile(tempPath);
    if (!entry.required) return true;
    error = L"Falha ao baixar: " + widePath;
    return false;
  }
  if (!VerifyDownloadedFile(run.hasher, entry, tempPath, error)) return false;
  if (!SwapIntoPlace(tempPath, finalPath)) {
    error = L"Falha ao instalar: " + widePath;
    return false;
  }
  run.counts.Accept(entry);
  return true;
}

void DeleteRemovedFiles(const std::wstring& installPath, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    DeleteFileW((installPath + L"\\" + Utf8ToWide(path)).c_str());
  }
}

bool IsLeftoverName(const std::wstring& name) {
  if (name.size() <= 4) return false;
  const std::wstring suffix = name.substr(name.size() - 4);
  return suffix == L".old" || suffix == L".tmp";
}

}  // namespace

bool DoUpdate(UpdaterState& state, const ProgressCallback& onProgress, std::wstring& error) {
  HttpClient http;
  Sha256Hasher hasher;
  Logger& log = Logger::Instance();
  log.Info("--- Starting update process ---");
  if (!EnsureServerManifest(state, error)) return false;
  const UpdatePlan plan = PlanUpdate(state);
  if (plan.filesToUpdate.empty() && plan.pathsToDelete.empty()) {
    log.Info("No files to update");
    return true;
  }
  if (!CloseApplicationAndWait()) {
    error = L"Não foi possível fechar o Zavex Phone. Por favor, feche manualmente.";
    return false;
  }
  UpdateRun run{state, onProgress, http, hasher, CountTransfer(plan.filesToUpdate)};
  for (const ManifestFile& entry : plan.filesToUpdate) {
    if (!UpdateFile(run, entry, error)) return false;
  }
  DeleteRemovedFiles(state.installPath, plan.pathsToDelete);
  CleanupLeftovers(state.installPath);
  ReportProgress(onProgress, run.counts.Completed(), L"Salvando configurações...");
  if (!SaveInstalledManifest(state.installPath, state.remoteManifest, error)) return false;
  log.Info("--- Update completed successfully ---");
  return true;
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
      DeleteFileW(path.c_str());
    }
  } while (FindNextFileW(search.get(), &entry));
}

}  // namespace zavex
