#include "ops/update_check.h"

#include "base/logger.h"
#include "base/text_conversion.h"
#include "ops/delta_index_fetch.h"
#include "ops/download_phase.h"
#include "ops/installation_identity.h"
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

// A lower code on the server is never taken: after a move to another
// channel the installation waits until that channel passes it.
void LogLowerRelease(const ReleaseServer& server, const Manifest& remote, const Manifest& local) {
  if (remote.versionCode >= local.versionCode) return;
  Logger::Instance().Info("The " + (server.channel.empty() ? std::string("default channel") : "channel " + server.channel) +
                          " has " + remote.version + " (code " + std::to_string(remote.versionCode) +
                          "), below the installed " + local.version + " (code " +
                          std::to_string(local.versionCode) + "): waiting until it passes it");
}

// Without an id the installation is last in line: it takes only a release at
// rollout 100, a critical one, or one a person asks for.
int BucketOfInstallation(const std::wstring& installPath, std::int32_t versionCode) {
  InstallationId id{};
  int bucket = kRolloutBuckets - 1;
  if (!LoadOrCreateInstallationId(installPath, id) || !InstallationBucket(id, versionCode, bucket)) {
    Logger::Instance().Warn("No rollout bucket for this installation: it is placed last");
  }
  return bucket;
}

// Whether the installation takes remote now; logs the decision.
bool PassesRollout(const UpdaterState& state, const Manifest& remote, const Manifest& local) {
  const int bucket = BucketOfInstallation(state.installPath, remote.versionCode);
  const std::string shares = "rollout " + std::to_string(remote.rollout) +
                             " % (this installation: " + BucketPercentText(bucket) + " %)";
  const std::string update = "Update " + remote.version;
  Logger& log = Logger::Instance();
  switch (DecideRollout(remote, local.versionCode, bucket, state.askedByPerson)) {
    case RolloutDecision::kTake: log.Info(update + " within the rollout: " + shares); return true;
    case RolloutDecision::kAsked: log.Info(update + " taken on request: " + shares); return true;
    case RolloutDecision::kCritical:
      log.Info(update + " is critical below code " + std::to_string(remote.criticalBelow) +
               ": taken whatever the " + shares);
      return true;
    case RolloutDecision::kHeldBack: log.Info(update + " held back: " + shares); return false;
    case RolloutDecision::kHalted: log.Info(update + " halted: rollout 0 %"); return false;
  }
  return false;
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
  if (remote.versionCode <= local.versionCode) {
    LogLowerRelease(state.server, remote, local);
    return info;
  }
  if (!PassesRollout(state, remote, local)) return info;

  DescribeUpdate(http, state, remote, local, info);
  state.localManifest = std::move(local);
  state.remoteManifest = std::move(remote);
  return info;
}

}  // namespace zavex
