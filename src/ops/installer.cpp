#include "ops/installer.h"

#include <windows.h>
#include <objbase.h>

#include <algorithm>

#include "base/install_location.h"
#include "base/logger.h"
#include "base/product.h"
#include "base/text_conversion.h"
#include "formats/manifest.h"
#include "ops/application_control.h"
#include "ops/delta_index_fetch.h"
#include "ops/download_phase.h"
#include "ops/installation_identity.h"
#include "ops/installed_manifest.h"
#include "ops/placing_journal.h"
#include "ops/placing_phase.h"
#include "ops/request_retry.h"
#include "ops/server_manifest.h"
#include "ops/shortcut_locations.h"
#include "ops/update_service.h"
#include "ops/worker_thread.h"
#include "platform/com_apartment.h"
#include "platform/file_system.h"
#include "platform/folder_security.h"
#include "platform/held_executable.h"
#include "platform/manifest_file.h"
#include "platform/registration.h"
#include "platform/shortcut.h"

namespace zavex {

// What one installation's worker owns together with its Installer.
struct InstallJob {
  InstallJob(const std::wstring& path, const std::optional<FileIdentity>& accepted,
             const ReleaseServer& releaseServer, ProgressCallback progress,
             CompletionCallback complete)
      : installPath(path),
        acceptedFolder(accepted),
        server(releaseServer),
        onProgress(std::move(progress)),
        onComplete(std::move(complete)) {}

  const std::wstring installPath;
  const std::optional<FileIdentity> acceptedFolder;
  const ReleaseServer server;
  TransferCancel cancel;
  const ProgressCallback onProgress;
  const CompletionCallback onComplete;
};

namespace {

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
  const std::wstring url = job.server.ManifestUrl();
  log.Info("Downloading manifest from: " + WideToUtf8(url));
  if (!FetchServerManifest(http, job.server, url, texts, manifest, error)) return false;
  log.Info("Manifest version: " + manifest.version);
  log.Info("Files to install: " + std::to_string(manifest.files.size()));
  if (manifest.rollout > 0) return true;
  // A halted release reaches no one, also not a new installation.
  log.Error("Release " + manifest.version + " halted: rollout 0 %");
  error = L"A versão " + Utf8ToWide(manifest.version) +
          L" foi suspensa pelo fornecedor. Tente novamente mais tarde.";
  return false;
}

bool IsAcceptedFolder(const InstallJob& job) {
  FileIdentity found;
  return job.acceptedFolder && IdentityOfFolder(job.installPath, found) &&
         found == *job.acceptedFolder;
}

// Created with its protected access list in one call. A folder that was there
// already keeps its list: it is used only when only administrators can change
// it or it is the very folder the user accepted, since another may have been
// put in its place after the question.
bool CreateInstallationFolder(const InstallJob& job, std::wstring& error) {
  const FolderCreation creation = CreateProtectedFolder(job.installPath);
  if (creation == FolderCreation::kCreated) return true;
  if (creation == FolderCreation::kFailed) {
    error = L"Falha ao criar diretório: " + job.installPath;
    return false;
  }
  if (OnlyAdministratorsCanChange(job.installPath)) return true;
  Logger& log = Logger::Instance();
  const std::string folder = WideToUtf8(job.installPath);
  if (IsAcceptedFolder(job)) {
    log.Warn("The installation folder exists and others than administrators can change it: " +
             folder);
    return true;
  }
  log.Error("The installation folder exists, others than administrators can change it, and it "
            "is not the folder accepted: " + folder);
  error = L"A pasta " + job.installPath +
          L" já existe e outros usuários além dos administradores podem alterá-la. Nada foi "
          L"instalado.";
  return false;
}

// True as well when this program already runs from there.
bool CopyRunningUpdater(const std::wstring& installPath) {
  const std::wstring source = GetExecutablePath();
  const std::wstring target = InstalledUpdaterPath(installPath);
  return source == target || CopyHeldExecutableTo(target);
}

void RegisterWithWindows(const std::wstring& installPath, const Manifest& manifest) {
  const std::wstring application = ApplicationExePath(installPath);
  // Quoted, so a folder with blanks cannot resolve to another program.
  const std::wstring uninstallCommand =
      L"\"" + InstalledUpdaterPath(installPath) + L"\" --uninstall";
  BestEffort(RegisterUninstallEntry(kProductName, kProductName, Utf8ToWide(manifest.version),
                                    kPublisherName, installPath, uninstallCommand, application),
             "Registering the installed-programs entry");
  BestEffort(RegisterTelHandler(application), "Registering the tel: handler");
  BestEffort(RegisterUpdateService(installPath), "Registering the update service");
}

// Skipped when the shell cannot name the shortcut's folder.
void CreateShortcutAt(const std::wstring& shortcutPath, const std::wstring& installPath,
                      std::string_view step) {
  if (shortcutPath.empty()) return;
  BestEffort(CreateShortcut(shortcutPath, ApplicationExePath(installPath), kShortcutName,
                            installPath, L"", L""),
             step);
}

void CreateShortcuts(const std::wstring& installPath) {
  CreateShortcutAt(DesktopShortcutPath(), installPath, "Creating the desktop shortcut");
  BestEffort(CreateStartMenuFolder(kShortcutName), "Creating the Start menu folder");
  CreateShortcutAt(StartMenuShortcutPath(), installPath, "Creating the Start menu shortcut");
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
// is never taken for a finished one. The files are in place already; the
// updater copy, the registration, the shortcuts and the deletion of the
// previous versions are best effort, while a record that cannot be saved
// fails the install. The program copies itself only when the release brings
// no updater of its own, and only from the file it runs from (HoldExecutable).
bool CommitInstall(const InstallJob& job, const Manifest& manifest, const Manifest& previous,
                   const DownloadedFiles& downloaded, const std::vector<PlacedFile>& placed,
                   const TransferCounts& counts, std::wstring& error) {
  ReportProgress(job.onProgress, counts.Completed(), L"Salvando configurações...");
  if (!PlacedUpdater(placed)) {
    BestEffort(CopyRunningUpdater(job.installPath), "Copying zavex_updater.exe into the folder");
  }
  ReportProgress(job.onProgress, counts.Completed(), L"Registrando no Windows...");
  RegisterWithWindows(job.installPath, manifest);
  ReportProgress(job.onProgress, counts.Completed(), L"Criando atalhos...");
  CreateShortcuts(job.installPath);
  BestEffort(KeepInstallationIdentity(job.installPath, job.server.channel),
             "Keeping the installation id and channel");
  const Manifest record = ManifestToRecord(manifest, previous, downloaded.missingOptional);
  if (!SaveInstalledManifest(job.installPath, record, error)) return false;
  DeletePreviousVersions(placed);
  return true;
}

bool DoInstall(const InstallJob& job, std::wstring& error) {
  HttpClient http(&job.cancel);
  http.onNotice = LogNetworkNotice;
  Logger& log = Logger::Instance();
  log.Info("--- Starting installation ---");
  log.Info("Install path: " + WideToUtf8(job.installPath));
  UndoCutPlacing(job.installPath);

  Manifest manifest;
  if (!DownloadManifest(job, http, manifest, error)) return false;
  ReportStep(job, L"Criando diretório de instalação...");
  if (!CreateInstallationFolder(job, error)) return false;
  // An installation already in the folder: its record, repaired first.
  const Manifest previous = LoadManifestFile(InstalledManifestPath(job.installPath));
  if (!CheckNotBelowInstalled(manifest, previous, error)) return false;
  RemovePreviousUpdater(job.installPath);

  // Nothing installed to patch: the compressed copies serve.
  DeltaIndex index;
  FetchDeltaIndex(http, job.server, manifest.deltaIndex, index);
  const std::vector<StagedFile> files = StageFiles(job.installPath, manifest.files, {}, index);
  DownloadRun run{job.installPath, job.server.baseUrl, job.cancel, job.onProgress, false, http,
                  CountTransfer(files)};
  DownloadedFiles downloaded;
  if (!DownloadPhase(run, files, downloaded, error)) return false;
  PlacingJournal journal;
  std::vector<PlacedFile> placed;
  if (!PlacingPhase(job.installPath, previous, downloaded.verified, journal, placed, error)) {
    return false;
  }
  if (!CommitInstall(job, manifest, previous, downloaded, placed, run.counts, error)) return false;
  journal.Remove();
  log.Info("--- Installation completed successfully ---");
  return true;
}

void InstallWorker(const InstallJob& job) {
  ComApartment com;  // for the shell links
  std::wstring error;
  const bool success =
      RunCatchingExceptions([&job](std::wstring& text) { return DoInstall(job, text); }, error);
  if (job.onComplete) job.onComplete(success, error);
}

}  // namespace

bool OthersCanChangeExistingFolder(const std::wstring& folder) {
  return GetFileAttributesW(folder.c_str()) != INVALID_FILE_ATTRIBUTES &&
         !OnlyAdministratorsCanChange(folder);
}

Installer::~Installer() { Cancel(); }

void Installer::SetInstallPath(const std::wstring& path) {
  installPath = path;
  acceptedFolder.reset();
}

void Installer::StartInstall() {
  job = std::make_shared<InstallJob>(installPath, acceptedFolder, server, onProgress, onComplete);
  std::wstring folderError;
  if (!CheckInstallFolder(installPath, folderError)) {
    if (job->onComplete) job->onComplete(false, folderError);
    return;
  }
  auto notStarted = [job = job](const std::wstring& error) {
    if (job->onComplete) job->onComplete(false, error);
  };
  StartDetachedWorker([job = job]() { InstallWorker(*job); }, notStarted);
}

void Installer::Cancel() {
  if (job) job->cancel.Cancel();
}

}  // namespace zavex
