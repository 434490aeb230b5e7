#include "ops/update_check.h"

#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/delta_index_fetch.h"
#include "ops/download_phase.h"
#include "ops/installed_manifest.h"
#include "ops/operation_callbacks.h"
#include "ops/request_retry.h"
#include "ops/server_manifest.h"
#include "platform/http_client.h"
#include "platform/manifest_file.h"

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

bool DownloadRemoteManifest(HttpClient& http, const ReleaseServer& server, Manifest& remote,
                            std::wstring& error) {
  static const ManifestFetchTexts texts = {
      "Failed to download remote manifest: ", L"Falha ao verificar atualização: ",
      "Remote manifest downloaded, size: ", "Remote manifest is invalid"};
  Logger& log = Logger::Instance();
  const std::wstring url = server.ManifestUrl() + NoCacheQuery();
  log.Info("Downloading remote manifest from: " + WideToUtf8(url));
  if (!FetchServerManifest(http, server, url, texts, remote, error)) return false;
  log.Info("Remote version: " + remote.version);
  log.Info("Remote manifest has " + std::to_string(remote.files.size()) + " files");
  return true;
}

// The counts of what the update will fetch: for changed files, the index of
// compressed copies and patches is asked for.
void DescribeUpdate(HttpClient& http, UpdaterState& state, const Manifest& remote,
                    const Manifest& local, UpdateInfo& info) {
  info.updateAvailable = true;
  info.releaseNotes = remote.releaseNotes;
  info.releaseDate = remote.releaseDate;
  const std::vector<ManifestFile> changed = GetFilesToUpdate(remote, local);
  state.deltaIndex = DeltaIndex();
  if (!changed.empty()) FetchDeltaIndex(http, state.server, remote.deltaIndex, state.deltaIndex);
  const TransferCounts download =
      CountTransfer(StageFiles(state.installPath, changed, local, state.deltaIndex));
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
  HttpClient http(&state.cancel);
  http.onNotice = LogNetworkNotice;
  Manifest remote;
  if (!DownloadRemoteManifest(http, state.server, remote, error)) return info;
  info.newVersion = remote.version;
  if (remote.versionCode <= local.versionCode) return info;

  DescribeUpdate(http, state, remote, local, info);
  state.localManifest = std::move(local);
  state.remoteManifest = std::move(remote);
  return info;
}

}  // namespace zavex
