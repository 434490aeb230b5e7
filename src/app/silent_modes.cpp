#include "app/silent_modes.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "base/logger.h"
#include "base/product.h"
#include "base/text_conversion.h"
#include "ops/application_control.h"
#include "ops/placing_journal.h"
#include "ops/placing_phase.h"
#include "ops/updater.h"
#include "platform/file_system.h"

namespace zavex {
namespace {

constexpr DWORD kPollIntervalMs = 100;

// Written by the worker; succeeded and error before finished.
struct WorkerOutcome {
  std::atomic<bool> finished{false};
  bool succeeded = false;
  std::wstring error;

  void Finish(bool success, const std::wstring& text) {
    succeeded = success;
    error = text;
    finished.store(true);
  }
};

// The silent modes, which nothing asks to stop.
const std::atomic<bool> kNeverStopped{false};

// Waits for the worker: cancels the updater when a stop is requested, or
// kDeadlineLeadMs before deadlineMs, and gives the worker up at abandonMs,
// when a Windows call that ignores the cancel still holds it. A cancel ends
// the run before its placing, or once the placing has ended. False when the
// worker was given up.
bool AwaitWorker(Updater& updater, const WorkerOutcome& outcome, unsigned deadlineMs,
                 unsigned abandonMs, const std::string& what,
                 const std::atomic<bool>& stopRequested) {
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG cancelAt = start + deadlineMs - std::min(deadlineMs, kDeadlineLeadMs);
  bool cancelled = false;
  while (!outcome.finished.load()) {
    const ULONGLONG now = GetTickCount64();
    if (!cancelled && stopRequested.load()) {
      Logger::Instance().Info("Stop requested: the " + what +
                              " is cancelled at its next safe point");
      updater.Cancel();
      cancelled = true;
    }
    if (!cancelled && now >= cancelAt) {
      Logger::Instance().Error("Stopping, " + std::to_string(kDeadlineLeadMs / 1000) +
                               " s before the deadline of " + std::to_string(deadlineMs / 1000) +
                               " s");
      updater.Cancel();
      cancelled = true;
    }
    if (now - start >= abandonMs) {
      Logger::Instance().Error("The " + what + " did not end within " +
                               std::to_string(abandonMs / 1000) + " s: its worker is abandoned");
      return false;
    }
    Sleep(kPollIntervalMs);
  }
  return true;
}

enum class CheckEnd { kUpdateAvailable, kNoUpdate, kFailed, kAbandoned };

// The check on a worker, within kSilentCheckDeadlineMs.
CheckEnd CheckWithin(Updater& updater, const std::atomic<bool>& stopRequested) {
  auto outcome = std::make_shared<WorkerOutcome>();
  updater.onCheckComplete = [outcome](const UpdateInfo& info, const std::wstring& error) {
    outcome->Finish(info.updateAvailable, error);
  };
  updater.StartCheck();
  if (!AwaitWorker(updater, *outcome, kSilentCheckDeadlineMs, kSilentCheckDeadlineMs, "check",
                   stopRequested)) {
    return CheckEnd::kAbandoned;
  }
  if (outcome->succeeded) return CheckEnd::kUpdateAvailable;
  return outcome->error.empty() ? CheckEnd::kNoUpdate : CheckEnd::kFailed;
}

// What an earlier service start staged, once no update is found: every
// ".tmp", and the ".old" files of a finished update. Not while a cut
// placing's journal stays, whose ".old" files are still needed.
void DiscardStagedFiles(const std::wstring& installPath) {
  if (IsExistingFile(PlacingJournalPath(installPath))) return;
  CleanupLeftovers(installPath);
}

// The silent update; asService never closes nor starts the application.
int UpdateSilently(const Invocation& invocation, bool asService,
                   const std::atomic<bool>& stopRequested) {
  const std::wstring& installPath = invocation.installFolder;
  const bool restart = invocation.restart && !asService;
  Updater updater(installPath, invocation.server);
  if (asService) updater.StageWhileApplicationRuns();
  switch (CheckWithin(updater, stopRequested)) {
    case CheckEnd::kUpdateAvailable: break;
    case CheckEnd::kAbandoned: return 1;
    default:
      // A check cut short by a stop says nothing of what is staged.
      if (asService && !stopRequested.load()) DiscardStagedFiles(installPath);
      return 2;
  }

  const bool wasRunning = IsApplicationRunning(installPath);
  if (!asService) AskRunningApplicationToClose(installPath);
  auto outcome = std::make_shared<WorkerOutcome>();
  updater.onComplete = [outcome](bool success, const std::wstring& error) {
    outcome->Finish(success, error);
  };
  updater.StartUpdate();
  const bool ended = AwaitWorker(updater, *outcome, kSilentUpdateDeadlineMs,
                                 kSilentUpdateDeadlineMs + kSilentPlacingMs, "update",
                                 stopRequested);
  if (ended && outcome->succeeded) {
    if (updater.HasOnlyStaged()) return kStagedExitCode;
    if (restart) StartApplication(installPath);
    return 0;
  }
  if (ended) Logger::Instance().Error("Update failed: " + WideToUtf8(outcome->error));
  // It was running, and the caller asked for it to run; an abandoned update
  // that has begun to place files may have left a mix of releases, which the
  // next run completes, so the application stays closed then.
  if (!restart || !wasRunning || IsApplicationRunning(installPath)) return 1;
  if (!ended && updater.HasStartedPlacing()) {
    Logger::Instance().Warn("The application is not started again: files were being placed");
    return 1;
  }
  StartApplication(installPath);
  return 1;
}

}  // namespace

int RunSilentCheck(const Invocation& invocation) {
  Updater updater(invocation.installFolder, invocation.server);
  switch (CheckWithin(updater, kNeverStopped)) {
    case CheckEnd::kUpdateAvailable: return 0;
    case CheckEnd::kNoUpdate: return 2;
    default: return 1;
  }
}

int RunSilentUpdate(const Invocation& invocation) {
  return UpdateSilently(invocation, false, kNeverStopped);
}

int RunServiceUpdate(const Invocation& invocation, const std::atomic<bool>& stopRequested) {
  return UpdateSilently(invocation, true, stopRequested);
}

}  // namespace zavex
