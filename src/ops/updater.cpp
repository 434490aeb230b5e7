#include "ops/updater.h"

#include <algorithm>

#include "base/logger.h"
#include "base/text_conversion.h"
#include "formats/manifest.h"
#include "ops/application_control.h"
#include "ops/download_phase.h"
#include "ops/installed_manifest.h"
#include "ops/manifest_signature.h"
#include "ops/placing_journal.h"
#include "ops/placing_phase.h"
#include "ops/request_retry.h"
#include "ops/update_service.h"
#include "ops/worker_thread.h"
#include "platform/file_system.h"
#include "platform/link_safe_removal.h"
#include "platform/manifest_file.h"

namespace zavex {
namespace {

struct UpdatePlan {
  std::vector<StagedFile> files;
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

// The manifest may have expired while the window waited or the files came:
// checked again before the application closes and before anything is placed.
bool IsStillUnexpired(const UpdaterState& state, std::wstring& error) {
  if (CheckManifestExpiry(state.remoteManifest, UtcNow(), state.server.keys)) return true;
  error = L"Manifest inválido";
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
  UpdatePlan plan{StageFiles(state.installPath, filesToUpdate, state.localManifest, state.deltaIndex),
                  PathsToDelete(state)};
  Logger& log = Logger::Instance();
  log.Info("Files to update: " + std::to_string(filesToUpdate.size()));
  log.Info("Files to delete: " + std::to_string(plan.pathsToDelete.size()));
  for (const ManifestFile& file : filesToUpdate) {
    log.Debug("  - " + file.path + " (expected hash: " + file.hash +
              ", size: " + std::to_string(file.size) + ")");
  }
  return plan;
}

// Best effort: a removed file that stays is logged as a WARN.
void DeleteRemovedFiles(const std::wstring& installPath, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const std::wstring fullPath = installPath + L"\\" + Utf8ToWide(path);
    if (PathCrossesLink(installPath, fullPath)) {
      Logger::Instance().Warn("Not deleted, behind a link: " + path);
      continue;
    }
    const std::string step = "Deleting the removed file " + path;
    if (IsExistingFile(fullPath)) BestEffort(RemoveFile(fullPath), step);
  }
}

// The deletions on either side of the record are best effort; a record that
// cannot be saved fails the update.
bool CommitUpdate(const UpdaterState& state, const UpdatePlan& plan,
                  const DownloadedFiles& downloaded, const DownloadRun& run,
                  std::wstring& error) {
  DeleteRemovedFiles(state.installPath, plan.pathsToDelete);
  RegisterUpdateServiceIfMissing(state.installPath);
  ReportProgress(run.onProgress, run.counts.Completed(), L"Salvando configurações...");
  const Manifest record =
      ManifestToRecord(state.remoteManifest, state.localManifest, downloaded.missingOptional);
  if (!SaveInstalledManifest(state.installPath, record, error)) return false;
  CleanupLeftovers(state.installPath);
  return true;
}

// Applies the update that the last positive check stored in state (checking
// first when none did): closes the application, then runs the staged update,
// deleting removed files before the record and every leftover ".old" and
// ".tmp" after it. False with error set when it stopped.
bool DoUpdate(UpdaterState& state, const ProgressCallback& onProgress, std::wstring& error) {
  HttpClient http(&state.cancel);
  http.onNotice = LogNetworkNotice;
  Logger& log = Logger::Instance();
  log.Info("--- Starting update process ---");
  if (!EnsureServerManifest(state, error)) return false;

  const UpdatePlan plan = PlanUpdate(state);
  if (plan.files.empty() && plan.pathsToDelete.empty()) {
    log.Info("No files to update");
    return true;
  }
  if (!IsStillUnexpired(state, error)) return false;
  if (!state.stageWhileRunning && !CloseApplicationAndWait(state.installPath)) {
    error = L"Não foi possível fechar o Zavex Phone. Por favor, feche manualmente.";
    return false;
  }
  std::vector<const StagedFile*> staged;
  std::vector<StagedFile> toFetch;
  SplitStagedFiles(state.installPath, plan.files, staged, toFetch);
  DownloadRun run{state.installPath, state.server.baseUrl, state.cancel, onProgress, true, http,
                  CountTransfer(toFetch)};
  DownloadedFiles downloaded;
  if (!DownloadPhase(run, toFetch, downloaded, error)) return false;
  downloaded.verified.insert(downloaded.verified.end(), staged.begin(), staged.end());
  if (!IsStillUnexpired(state, error)) {
    for (const StagedFile* file : downloaded.verified) RemoveFile(file->tempPath);
    return false;
  }
  if (state.stageWhileRunning && IsApplicationRunning(state.installPath)) {
    log.Info("Update staged; Zavex Phone is running");
    state.staged.store(true);
    return true;
  }
  // Before the look at the cancel: a canceller that then reads placing as
  // false knows that nothing will be placed.
  state.placing.store(true);
  if (state.cancel.IsCancelled()) {
    error = kCancelledText;
    return false;
  }
  PlacingJournal journal;
  std::vector<PlacedFile> placed;
  if (!PlacingPhase(state.installPath, state.localManifest, downloaded.verified, journal, placed,
                    error)) {
    return false;
  }
  if (!CommitUpdate(state, plan, downloaded, run, error)) return false;
  journal.Remove();
  log.Info("--- Update completed successfully ---");
  return true;
}

// What a check that could not start still knows: the installed version, so
// that the owner tells a failed check from a missing installation.
UpdateInfo CheckNotStarted(const std::wstring& installPath) {
  UpdateInfo info;
  info.currentVersion = LoadManifestFile(InstalledManifestPath(installPath)).version;
  return info;
}

}  // namespace

Updater::Updater(const std::wstring& installPath, const ReleaseServer& server)
    : state(std::make_shared<UpdaterState>(installPath, server)) {}

Updater::~Updater() { Cancel(); }

UpdateInfo Updater::CheckForUpdates(std::wstring& error) { return RunUpdateCheck(*state, error); }

void Updater::StartCheck() {
  state->cancel.Reset();
  auto check = [state = state, onCheckComplete = onCheckComplete]() {
    UpdateInfo info;
    std::wstring error;
    RunCatchingExceptions(
        [&](std::wstring& text) {
          zavex::UndoCutPlacing(state->installPath);
          info = RunUpdateCheck(*state, text);
          return true;
        },
        error);
    if (onCheckComplete) onCheckComplete(info, error);
  };
  auto notStarted = [installPath = state->installPath,
                     onCheckComplete = onCheckComplete](const std::wstring& error) {
    if (onCheckComplete) onCheckComplete(CheckNotStarted(installPath), error);
  };
  StartDetachedWorker(std::move(check), notStarted);
}

void Updater::StartUpdate() {
  state->cancel.Reset();
  state->placing.store(false);
  state->staged.store(false);
  auto update = [state = state, onProgress = onProgress, onComplete = onComplete]() {
    std::wstring error;
    const bool success = RunCatchingExceptions(
        [&](std::wstring& text) { return DoUpdate(*state, onProgress, text); }, error);
    if (onComplete) onComplete(success, error);
  };
  auto notStarted = [onComplete = onComplete](const std::wstring& error) {
    if (onComplete) onComplete(false, error);
  };
  StartDetachedWorker(std::move(update), notStarted);
}

void Updater::Cancel() { state->cancel.Cancel(); }

}  // namespace zavex
