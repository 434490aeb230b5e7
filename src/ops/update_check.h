#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "formats/delta_index.h"
#include "formats/manifest.h"
#include "ops/release_server.h"
#include "platform/transfer_cancel.h"

namespace zavex {

// The answer of one update check. Versions and texts are UTF-8.
struct UpdateInfo {
  bool updateAvailable = false;
  std::string currentVersion;
  std::string newVersion;
  std::string releaseNotes;
  std::string releaseDate;
  uint64_t downloadSize = 0;  // what the update will fetch
  int fileCount = 0;
};

using CheckCompleteCallback = std::function<void(const UpdateInfo& info, const std::wstring& error)>;

// What an Updater shares with its workers. The manifests and the index of
// compressed copies and patches are written by a check that finds an update
// and read by the update after it.
struct UpdaterState {
  UpdaterState(const std::wstring& path, const ReleaseServer& releaseServer)
      : installPath(path), server(releaseServer) {}

  const std::wstring installPath;
  const ReleaseServer server;
  TransferCancel cancel;
  std::atomic<bool> placing{false};  // set before the last look at cancel
  // An interactive update: a release held back by its rollout is taken.
  bool askedByPerson = false;
  bool stageWhileRunning = false;     // set before a start
  std::atomic<bool> staged{false};
  Manifest localManifest;
  Manifest remoteManifest;
  DeltaIndex deltaIndex;
};

// Compares the installed manifest with the server's on the calling thread,
// then places the installation in the release's rollout: a release held back
// or halted is no update. Sets error only on failure; stores the manifests
// when an update exists.
UpdateInfo RunUpdateCheck(UpdaterState& state, std::wstring& error);

}  // namespace zavex
