#include "ops/updater.h"

#include <chrono>
#include <exception>

#include "app/install_location.h"
#include "app/logger.h"
#include "formats/manifest.h"
#include "ops/installed_manifest.h"
#include "ops/update_apply.h"
#include "ops/worker_thread.h"

namespace zavex {
namespace {

// What a check that could not start still knows: the installed version, so
// that the owner tells a failed check from a missing installation.
UpdateInfo CheckNotStarted(const std::wstring& installPath) {
  UpdateInfo info;
  info.currentVersion = LoadManifestFile(InstalledManifestPath(installPath)).version;
  return info;
}

}  // namespace

Updater::Updater(const std::wstring& installPath)
    : state(std::make_shared<UpdaterState>(installPath)) {}

Updater::~Updater() { Cancel(); }

UpdateInfo Updater::CheckForUpdates(std::wstring& error) { return RunUpdateCheck(*state, error); }

void Updater::StartCheck() {
  state->cancel.Reset();
  auto check = [state = state, onCheckComplete = onCheckComplete]() {
    UpdateInfo info;
    std::wstring error;
    RunCatchingExceptions(
        [&](std::wstring& text) {
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

UpdaterDeadline::UpdaterDeadline(Updater& updater, unsigned ms) {
  // Without a timer thread the run keeps only the stall limits.
  try {
    timer = std::thread([this, &updater, ms] {
      std::unique_lock<std::mutex> lock(mutex);
      if (ended.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done; })) return;
      Logger::Instance().Error("Deadline of " + std::to_string(ms / 1000) + " s reached");
      updater.Cancel();
    });
  } catch (const std::exception&) {
  }
}

UpdaterDeadline::~UpdaterDeadline() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
  }
  ended.notify_one();
  if (timer.joinable()) timer.join();
}

int RunSilentCheck(const CommandLineArgs& args) {
  Updater updater(GetInstallPath(args));
  UpdaterDeadline deadline(updater, kSilentCheckDeadlineMs);
  std::wstring error;
  if (updater.CheckForUpdates(error).updateAvailable) return 0;
  return error.empty() ? 2 : 1;
}

}  // namespace zavex
