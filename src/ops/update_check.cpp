#include "ops/update_check.h"

#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/installed_manifest.h"
#include "ops/operation_callbacks.h"
#include "ops/server_manifest.h"
#include "platform/http_client.h"

namespace zavex {
namespace {

bool LoadLocalManifest(const std::wstring& installPath, Manifest& local, std::wstring& error) {
  Logger& log = Logger::Instance();
  const std::wstring path = InstalledManifestPath(installPath);
  log.Info("Local manifest path: " + WideToUtf8(path));
  local = LoadManifestFile(path);
  if (!IsValid(local)) {
    log.Warn("Local manifest not found or invalid");
    error = L"Manifest local não encontrado ou inválido";
    return false;
  }
  log.Info("Local version: " + local.version);
  log.Info("Local manifest has " + std::to_string(local.files.size()) + " files");
  return true;
}

bool DownloadRemoteManifest(const ReleaseServer& server, const TransferCancel& cancel,
                            Manifest& remote, std::wstring& error) {
  static const ManifestFetchTexts texts = {
      "Failed to download remote manifest: ", L"Falha ao verificar atualização: ",
      "Remote manifest downloaded, size: ", "Remote manifest is invalid"};
  Logger& log = Logger::Instance();
  HttpClient http(&cancel);
  const std::wstring url = server.ManifestUrl() + NoCacheQuery();
  log.Info("Downloading remote manifest from: " + WideToUtf8(url));
  if (!FetchServerManifest(http, server, url, texts, remote, error)) return false;
  log.Info("Remote version: " + remote.version);
  log.Info("Remote manifest has " + std::to_string(remote.files.size()) + " files");
  return true;
}

void DescribeUpdate(const Manifest& remote, const Manifest& local, UpdateInfo& info) {
  info.updateAvailable = true;
  info.releaseNotes = remote.releaseNotes;
  info.releaseDate = remote.releaseDate;
  const TransferCounts download = CountTransfer(GetFilesToUpdate(remote, local));
  info.fileCount = download.totalFiles;
  info.downloadSize = download.totalBytes;
}

}  // namespace

UpdateInfo RunUpdateCheck(UpdaterState& state, std::wstring& error) {
  Logger& log = Logger::Instance();
  log.Info("--- Starting update check ---");
  log.Info("Install path: " + WideToUtf8(state.installPath));
  UpdateInfo info;
  Manifest local;
  if (!LoadLocalManifest(state.installPath, local, error)) return info;
  RemovePreviousUpdater(state.installPath);
  info.currentVersion = local.version;
  Manifest remote;
  if (!DownloadRemoteManifest(state.server, state.cancel, remote, error)) return info;
  info.newVersion = remote.version;
  if (remote.versionCode <= local.versionCode) return info;

  DescribeUpdate(remote, local, info);
  state.localManifest = std::move(local);
  state.remoteManifest = std::move(remote);
  return info;
}

}  // namespace zavex
