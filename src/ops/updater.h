#pragma once

#include <memory>
#include <string>

#include "ops/operation_callbacks.h"
#include "ops/release_server.h"
#include "ops/update_check.h"

namespace zavex {

// Checks for and applies updates of one installation. Each start runs on a
// new detached thread that shares the updater's state and keeps its own copy
// of the callbacks (see ops/worker_thread.h), so the Updater may be destroyed
// while a worker runs. Start an update only after the check has reported.
class Updater {
 public:
  Updater(const std::wstring& installPath, const ReleaseServer& server);
  // Asks a running update to stop; the worker ends on its own.
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  const std::wstring& GetInstallPath() const { return state->installPath; }

  // A person asked for this update: the check takes a release that its
  // rollout holds back (never a halted one). Call before the first check.
  void MarkAskedByPerson() { state->askedByPerson = true; }
  // The check, on the calling thread. Sets error only on failure.
  UpdateInfo CheckForUpdates(std::wstring& error);
  // The check on a worker, after undoing there a placing that a kill or a
  // power cut ended (UndoCutPlacing); onCheckComplete
  // receives its result there, or at once on this thread with the error when
  // no thread can be started.
  void StartCheck();
  // The update on a worker; onProgress and onComplete are called there, or
  // onComplete at once on this thread when no thread can be started.
  void StartUpdate();
  // Stops a running update before its next file; a download in progress
  // ends at once, also one waiting on the network.
  void Cancel();
  // True once the update has begun to place files; read after Cancel, false
  // means it never will.
  bool HasStartedPlacing() const { return state->placing.load(); }

  // From now on the running application is never closed: the verified files
  // stay staged instead (see SplitStagedFiles). Before a start.
  void StageWhileApplicationRuns() { state->stageWhileRunning = true; }
  // True when the last update staged its files and placed none.
  bool HasOnlyStaged() const { return state->staged.load(); }

  ProgressCallback onProgress;
  CompletionCallback onComplete;
  CheckCompleteCallback onCheckComplete;

 private:
  std::shared_ptr<UpdaterState> state;
};

// What a mode without a window allows, whatever the server does: the check
// (manifest and signature, with their retries), and the downloads of an
// update, then its placing.
inline constexpr unsigned kSilentCheckDeadlineMs = 2 * 60 * 1000;
inline constexpr unsigned kSilentUpdateDeadlineMs = 30 * 60 * 1000;
inline constexpr unsigned kSilentPlacingMs = 5 * 60 * 1000;
// How long before its deadline a run is cancelled, so that it has ended by
// then.
inline constexpr unsigned kDeadlineLeadMs = 5000;

}  // namespace zavex
