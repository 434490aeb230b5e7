#include "ops/updater.h"

#include "app/install_location.h"
#include "ops/update_apply.h"
#include "ops/worker_thread.h"

namespace zavex {

Updater::Updater(const std::wstring& installPath)
    : state(std::make_shared<UpdaterState>(installPath)) {}

Updater::~Updater() { Cancel(); }

UpdateInfo Updater::CheckForUpdates(std::wstring& error) { return RunUpdateCheck(*state, error); }

void Updater::StartCheck() {
  state->cancel.Reset();
  StartDetachedWorker([state = state, onCheckComplete = onCheckComplete]() {
    UpdateInfo info;
    std::wstring error;
    RunCatchingExceptions(
        [&](std::wstring& text) {
          info = RunUpdateCheck(*state, text);
          return true;
        },
        error);
    if (onCheckComplete) onCheckComplete(info, error);
  });
}

void Updater::StartUpdate() {
  state->cancel.Reset();
  StartDetachedWorker([state = state, onProgress = onProgress, onComplete = onComplete]() {
    std::wstring error;
    const bool success = RunCatchingExceptions(
        [&](std::wstring& text) { return DoUpdate(*state, onProgress, text); }, error);
    if (onComplete) onComplete(success, error);
  });
}

void Updater::Cancel() { state->cancel.Cancel(); }

int RunSilentCheck(const CommandLineArgs& args) {
  Updater updater(GetInstallPath(args));
  std::wstring error;
  if (updater.CheckForUpdates(error).updateAvailable) return 0;
  return error.empty() ? 2 : 1;
}

}  // namespace zavex
