#include "ops/application_control.h"

#include <windows.h>
#include <shellapi.h>

#include "base/logger.h"
#include "platform/desktop_shell.h"
#include "platform/file_system.h"
#include "platform/process_control.h"

namespace zavex {
namespace {

constexpr DWORD kCloseGraceMs = 2000;
constexpr int kClosePollRounds = 20;
constexpr DWORD kClosePollMs = 500;

}  // namespace

std::wstring ApplicationExePath(const std::wstring& installPath) {
  return installPath + L"\\" + kApplicationExeName;
}

bool IsApplicationRunning(const std::wstring& installPath) {
  return IsProcessRunning(ApplicationExePath(installPath));
}

void AskRunningApplicationToClose(const std::wstring& installPath) {
  if (!IsApplicationRunning(installPath)) return;
  if (RequestApplicationClose(ApplicationExePath(installPath), kProductName)) Sleep(kCloseGraceMs);
}

bool CloseApplicationAndWait(const std::wstring& installPath) {
  if (!IsApplicationRunning(installPath)) return true;
  RequestApplicationClose(ApplicationExePath(installPath), kProductName);
  for (int round = 0; round < kClosePollRounds; ++round) {
    if (!IsApplicationRunning(installPath)) break;
    Sleep(kClosePollMs);
  }
  return !IsApplicationRunning(installPath);
}

void StartApplication(const std::wstring& installPath) {
  const std::wstring application = ApplicationExePath(installPath);
  if (OpenThroughDesktopShell(application, installPath)) {
    Logger::Instance().Info("Application started through the desktop shell, as the signed-in user");
    return;
  }
  Logger::Instance().Warn(
      "Application started directly, with this program's rights: no desktop shell to start it");
  ShellExecuteW(nullptr, L"open", application.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void StartApplicationIfPresent(const std::wstring& installPath) {
  if (IsExistingFile(ApplicationExePath(installPath))) StartApplication(installPath);
}

}  // namespace zavex
