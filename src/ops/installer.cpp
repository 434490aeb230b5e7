#include "ops/installer.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>

#include "app/install_location.h"
#include "app/logger.h"
#include "app/server_config.h"
#include "app/text_conversion.h"
#include "formats/manifest.h"
#include "ops/application_control.h"
#include "ops/file_transfer.h"
#include "ops/installed_manifest.h"
#include "ops/shortcut_locations.h"
#include "ops/update_apply.h"
#include "ops/worker_thread.h"
#include "platform/file_system.h"
#include "platform/folder_security.h"
#include "platform/held_executable.h"
#include "platform/registration.h"
#include "platform/shortcut.h"

namespace zavex {

// What one installation's worker owns together with its Installer.
struct InstallJob {
  InstallJob(const std::wstring& path, ProgressCallback progress, CompletionCallback complete)
      : installPath(path), onProgress(std::move(progress)), onComplete(std::move(complete)) {}

  const std::wstring installPath;
  TransferCancel cancel;
  const ProgressCallback onProgress;
  const CompletionCallback onComplete;
};

namespace {

// COM for the shell links, on the worker thread that creates them.
class ComApartment {
 public:
  ComApartment()
      : initialized(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED |
                                                          COINIT_DISABLE_OLE1DDE))) {}
  ~ComApartment() {
    if (initialized) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  const bool initialized;
};

std::wstring UpdaterCopyPath(const std::wstring& installPath) {
  return installPath + L"\\zavex_updater.exe";
}

void ReportStep(const InstallJob& job, const std::wstring& text) {
  ReportProgress(job.onProgress, TransferCounts{}, text);
}

bool DownloadManifest(const InstallJob& job, HttpClient& http, Manifest& manifest,
                      std::wstring& error) {
  static const ManifestFetchTexts texts = {"Failed to download manifest: ",
                                           L"Falha ao baixar manifest: ",
                                           "Manifest downloaded, size: ", "Manifest is invalid"};
  Logger& log = Logger::Instance();
  ReportStep(job, L"Baixando lista de arquivos...");
  log.Info("Downloading manifest from: " + WideToUtf8(ManifestUrl));
  if (!FetchServerManifest(http, ManifestUrl, texts, manifest, error)) return false;
  log.Info("Manifest version: " + manifest.version);
  log.Info("Files to install: " + std::to_string(manifest.files.size()));
  return true;
}

// An existing folder keeps its access list; say so when others than
// administrators can change what the next elevated run starts.
void WarnIfOthersCanChange(const std::wstring& folder) {
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  if (OnlyAdministratorsCanChange(folder)) return;
  Logger::Instance().Warn("The installation folder exists and others than administrators can "
                          "change it: " + WideToUtf8(folder));
}

void CopyRunningUpdater(const std::wstring& installPath) {
  const std::wstring source = GetExecutablePath();
  const std::wstring target = UpdaterCopyPath(installPath);
  if (source != target) CopyHeldExecutableTo(target);
}

void RegisterWithWindows(const std::wstring& installPath, const Manifest& manifest) {
  const std::wstring application = ApplicationExePath(installPath);
  // Quoted, so a folder with blanks cannot resolve to another program.
  const std::wstring uninstallCommand =
      L"\"" + UpdaterCopyPath(installPath) + L"\" --uninstall";
  RegisterUninstallEntry(L"Zavex Phone", L"Zavex Phone", Utf8ToWide(manifest.version),
                         L"Quorvane", installPath, uninstallCommand, application);
  RegisterTelHandler(application);
}

void CreateShortcutAt(const std::wstring& shortcutPath, const std::wstring& installPath) {
  if (shortcutPath.empty()) return;
  CreateShortcut(shortcutPath, ApplicationExePath(installPath), kShortcutName, installPath, L"",
                 L"");
}

void CreateShortcuts(const std::wstring& installPath) {
  CreateShortcutAt(DesktopShortcutPath(), installPath);
  CreateStartMenuFolder(kShortcutName);
  CreateShortcutAt(StartMenuShortcutPath(), installPath);
}

// Installed copies never go to a lower versionCode, as the update decides.
bool CheckNotBelowInstalled(const Manifest& server, const Manifest& installed,
                            std::wstring& error) {
  if (server.versionCode >= installed.versionCode) return true;
  Logger::Instance().Error("Server version code " + std::to_string(server.versionCode) +
                           " is below the installed " + std::to_string(installed.versionCode) +
                           "; nothing changed");
  error = L"A versão do servidor (" + Utf8ToWide(server.version) +
          L") é anterior à instalada (" + Utf8ToWide(installed.version) +
          L"). Nada foi alterado.";
  return false;
}

bool PlacedUpdater(const std::vector<PlacedFile>& placed) {
  return std::any_of(placed.begin(), placed.end(),
                     [](const PlacedFile& file) { return IsUpdaterPath(file.file->entry.path); });
}

// Everything but the record, then the record, so that an interrupted install
// is never taken for a finished one. The program copies itself only when the
// release brings no updater of its own.
bool CommitInstall(const InstallJob& job, const Manifest& manifest, const Manifest& previous,
                   const DownloadedFiles& downloaded, const std::vector<PlacedFile>& placed,
                   const TransferCounts& counts, std::wstring& error) {
  ReportProgress(job.onProgress, counts.Completed(), L"Salvando configurações...");
  if (!PlacedUpdater(placed)) CopyRunningUpdater(job.installPath);
  ReportProgress(job.onProgress, counts.Completed(), L"Registrando no Windows...");
  RegisterWithWindows(job.installPath, manifest);
  ReportProgress(job.onProgress, counts.Completed(), L"Criando atalhos...");
  CreateShortcuts(job.installPath);
  const Manifest record = ManifestToRecord(manifest, previous, downloaded.missingOptional);
  if (!SaveInstalledManifest(job.installPath, record, error)) return false;
  DeletePreviousVersions(placed);
  return true;
}

bool DoInstall(const InstallJob& job, std::wstring& error) {
  HttpClient http(&job.cancel);
  Logger& log = Logger::Instance();
  log.Info("--- Starting installation ---");
  log.Info("Install path: " + WideToUtf8(job.installPath));

  Manifest manifest;
  if (!DownloadManifest(job, http, manifest, error)) return false;
  ReportStep(job, L"Criando diretório de instalação...");
  WarnIfOthersCanChange(job.installPath);
  if (!CreateProtectedFolder(job.installPath)) {
    error = L"Falha ao criar diretório: " + job.installPath;
    return false;
  }
  // An installation already in the folder: its record, repaired first.
  const Manifest previous = LoadManifestFile(InstalledManifestPath(job.installPath));
  if (!CheckNotBelowInstalled(manifest, previous, error)) return false;
  RemovePreviousUpdater(job.installPath);
  RestoreMissingFromOld(job.installPath, previous);

  DownloadRun run{job.installPath, job.cancel, job.onProgress, false, http,
                  CountTransfer(manifest.files)};
  const std::vector<StagedFile> files = StageFiles(job.installPath, manifest.files);
  DownloadedFiles downloaded;
  if (!DownloadPhase(run, files, downloaded, error)) return false;
  std::vector<PlacedFile> placed;
  if (!PlacingPhase(downloaded.verified, placed, error)) return false;
  if (!CommitInstall(job, manifest, previous, downloaded, placed, run.counts, error)) return false;
  log.Info("--- Installation completed successfully ---");
  return true;
}

void InstallWorker(const InstallJob& job) {
  ComApartment com;
  std::wstring error;
  const bool success =
      RunCatchingExceptions([&job](std::wstring& text) { return DoInstall(job, text); }, error);
  if (job.onComplete) job.onComplete(success, error);
}

}  // namespace

Installer::~Installer() { Cancel(); }

void Installer::SetInstallPath(const std::wstring& path) { installPath = path; }

void Installer::StartInstall() {
  job = std::make_shared<InstallJob>(installPath, onProgress, onComplete);
  auto notStarted = [job = job](const std::wstring& error) {
    if (job->onComplete) job->onComplete(false, error);
  };
  StartDetachedWorker([job = job]() { InstallWorker(*job); }, notStarted);
}

void Installer::Cancel() {
  if (job) job->cancel.Cancel();
}

}  // namespace zavex
