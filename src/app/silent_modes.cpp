#include "app/silent_modes.h"

#include <windows.h>

#include <atomic>
#include <memory>

#include "base/logger.h"
#include "base/product.h"
#include "base/text_conversion.h"
#include "ops/application_control.h"
#include "ops/updater.h"
#include "platform/process_control.h"

namespace zavex {
namespace {

constexpr DWORD kPollIntervalMs = 100;

// Written by the update thread; succeeded and error before finished.
struct SilentOutcome {
  std::atomic<bool> finished{false};
  bool succeeded = false;
  std::wstring error;
};

std::shared_ptr<SilentOutcome> ApplyOnWorker(Updater& updater) {
  auto outcome = std::make_shared<SilentOutcome>();
  updater.onComplete = [outcome](bool success, const std::wstring& error) {
    outcome->succeeded = success;
    outcome->error = error;
    outcome->finished.store(true);
  };
  updater.StartUpdate();
  while (!outcome->finished.load()) Sleep(kPollIntervalMs);
  return outcome;
}

}  // namespace

int RunSilentCheck(const Invocation& invocation) {
  Updater updater(invocation.installFolder, invocation.server);
  UpdaterDeadline deadline(updater, kSilentCheckDeadlineMs);
  std::wstring error;
  if (updater.CheckForUpdates(error).updateAvailable) return 0;
  return error.empty() ? 2 : 1;
}

int RunSilentUpdate(const Invocation& invocation) {
  const std::wstring& installPath = invocation.installFolder;
  Updater updater(installPath, invocation.server);
  updater.UndoCutPlacing();
  std::wstring checkError;
  {
    UpdaterDeadline deadline(updater, kSilentCheckDeadlineMs);
    if (!updater.CheckForUpdates(checkError).updateAvailable) return 2;
  }

  const bool wasRunning = IsProcessRunning(kApplicationExeName);
  AskRunningApplicationToClose();
  std::shared_ptr<SilentOutcome> outcome;
  {
    UpdaterDeadline deadline(updater, kSilentUpdateDeadlineMs);
    outcome = ApplyOnWorker(updater);
  }
  if (!outcome->succeeded) {
    Logger::Instance().Error("Update failed: " + WideToUtf8(outcome->error));
    // It was running, and the caller asked for it to run.
    if (invocation.restart && wasRunning && !IsProcessRunning(kApplicationExeName)) {
      StartApplication(installPath);
    }
    return 1;
  }
  if (invocation.restart) StartApplication(installPath);
  return 0;
}

}  // namespace zavex
