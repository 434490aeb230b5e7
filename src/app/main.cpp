#include <windows.h>
#include <objbase.h>

#include <string>

#include "app/command_line.h"
#include "app/invocation.h"
#include "app/self_update.h"
#include "app/service_mode.h"
#include "app/silent_modes.h"
#include "base/install_location.h"
#include "base/logger.h"
#include "base/product.h"
#include "base/text_conversion.h"
#include "ops/installation_identity.h"
#include "ops/uninstall.h"
#include "platform/held_executable.h"
#include "platform/system_dlls.h"
#include "ui/installer_flow.h"
#include "ui/updater_flow.h"

namespace zavex {
namespace {

bool dllSearchRestricted = false;

// Runs before every other constructor and so before wWinMain: the stack
// protector's own setup (libssp) asks CryptAcquireContext for its canary, and
// the provider DLL that loads would look for bcrypt and crypt32 beside the
// executable.
__attribute__((constructor(101))) void RestrictDllSearchBeforeAnyLoad() {
  dllSearchRestricted = RestrictDllSearchToSystem32(
      {L"bcrypt.dll", L"crypt32.dll", L"winhttp.dll", L"uxtheme.dll", L"comctl32.dll"});
}

// Asks before uninstalling and reports the outcome in a box. 0 or 1.
int RunConfirmedUninstall(const std::wstring& installPath) {
  if (MessageBoxW(nullptr, L"Tem certeza que deseja desinstalar o Zavex Phone?",
                  L"Confirmar Desinstalação", MB_YESNO | MB_ICONQUESTION) != IDYES) {
    return 0;
  }
  std::wstring error;
  if (Uninstall(installPath, error)) {
    MessageBoxW(nullptr, L"Zavex Phone foi desinstalado com sucesso.", L"Desinstalação Concluída",
                MB_OK | MB_ICONINFORMATION);
    return 0;
  }
  MessageBoxW(nullptr, error.c_str(), L"Erro na Desinstalação", MB_OK | MB_ICONERROR);
  return 1;
}

int RunMode(HINSTANCE instance, const Invocation& invocation) {
  switch (invocation.mode) {
    case INSTALLER: return RunInstaller(instance, invocation.newInstallFolder, invocation.server);
    case UPDATER:
      return RunUpdater(instance, invocation.installFolder, invocation.newInstallFolder,
                        invocation.server);
    case UNINSTALLER: return RunConfirmedUninstall(invocation.installFolder);
    case SILENT_CHECK: return RunSilentCheck(invocation);
    case SILENT_UPDATE: return RunSilentUpdate(invocation);
    case SELF_UPDATE: return RunSelfUpdate(invocation.installFolder);
    case SERVICE: return RunServiceMode(invocation);
  }
  return 0;
}

// "--channel=" is refused before anything changes, and the channel that
// "--update" names is kept at once: a channel whose release is below the
// installed one is waited for, not left.
bool ApplyChannelChoice(const Invocation& invocation) {
  Logger& log = Logger::Instance();
  if (invocation.channelRefused) {
    log.Error("--channel needs letters, digits and - only, at most 32 characters: refused");
    return false;
  }
  const std::string& channel = invocation.server.channel;
  log.Info("Channel: " + (channel.empty() ? std::string("default") : channel));
  if (invocation.channelChosen && invocation.mode == UPDATER &&
      HoldsRecordFile(invocation.installFolder)) {
    BestEffort(SaveChannel(invocation.installFolder, channel), "Keeping the channel");
  }
  return true;
}

void LogStart(const wchar_t* commandLine) {
  Logger& log = Logger::Instance();
  log.Info("=== ZAVEX Updater Started ===");
  log.Info("Command line: " + (commandLine ? WideToUtf8(commandLine) : std::string("(none)")));
  log.Info("Exe path: " + WideToUtf8(GetExecutablePath()));
}

}  // namespace
}  // namespace zavex

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  using namespace zavex;
  // Before anything reads it: the copies this program makes of itself come
  // from this handle, and while it is open the file cannot be swapped.
  const bool executableHeld = HoldExecutable(GetExecutablePath());
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  Logger& log = Logger::Instance();
  log.Open(GetExecutableFolder() + L"\\" + kLogFileName);
  LogStart(commandLine);
  if (!dllSearchRestricted) log.Warn("DLL search not limited to System32");
  if (!executableHeld) log.Warn("The executable could not be held open: it will not copy itself");

  const Invocation invocation = ResolveInvocation(ParseCommandLine(commandLine));
  log.Info(std::string("Operation mode: ") + OperationModeName(invocation.mode));
  log.Info("Install path: " + WideToUtf8(invocation.installFolder));

  const int result = ApplyChannelChoice(invocation) ? RunMode(instance, invocation) : 1;
  log.Info("=== ZAVEX Updater Finished with result: " + std::to_string(result) + " ===");
  log.Close();
  CoUninitialize();
  return result;
}
