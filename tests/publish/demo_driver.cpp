// Drives the built zavex_updater.exe for scripts/demo.sh as a user would:
//   zavex_demo_driver UPDATER install       the window: "Instalar", then "Concluir"
//   zavex_demo_driver UPDATER uninstall     "--uninstall", answered "Sim", then "OK"
//   zavex_demo_driver UPDATER run SWITCH... the updater with these switches alone
//   zavex_demo_driver APPLICATION start-phone  the application, left running, which
//                                           starts the update service as it starts
//   zavex_demo_driver APPLICATION close-phone  its window closed; it starts the
//                                           service again as it ends
//   zavex_demo_driver hold-desktop          keeps the desktop until the prefix stops
// Prints what it saw and exits with the updater's exit code (for the
// application, with the exit code of the service's run that it started), or
// with kDriverFailed when the updater did not behave as a user would see it.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>

#include "base/product.h"
#include "base/text_conversion.h"
#include "support/process.h"
#include "support/window_probe.h"
#include "ui/progress_window.h"

namespace zavex::test {
namespace {

constexpr int kDriverFailed = 100;
constexpr DWORD kWindowTimeoutMs = 30000;
constexpr DWORD kOperationTimeoutMs = 180000;
constexpr DWORD kPollMs = 100;

void Say(const std::wstring& text) {
  std::printf("  %s\n", WideToUtf8(text).c_str());
  std::fflush(stdout);
}

int Fail(const std::wstring& text) {
  Say(L"driver: " + text);
  return kDriverFailed;
}

int ExitCodeOf(ChildProcess& updater) {
  const std::optional<DWORD> exitCode = updater.Wait(kOperationTimeoutMs);
  if (!exitCode) return Fail(L"the updater did not end");
  Say(L"updater ended with exit code " + std::to_wstring(*exitCode));
  return static_cast<int>(*exitCode);
}

// The first of the titles that the window shows within the timeout; empty
// when none.
std::wstring WaitForOneOfTitles(HWND window, std::initializer_list<const wchar_t*> titles) {
  const ULONGLONG deadline = GetTickCount64() + kOperationTimeoutMs;
  while (GetTickCount64() < deadline && IsWindow(window)) {
    const std::wstring shown = ControlText(window, IDC_TITLE_LABEL);
    for (const wchar_t* title : titles) {
      if (shown == title) return shown;
    }
    Sleep(kPollMs);
  }
  return L"";
}

// The first message box with one of the captions; null when none came.
HWND WaitForOneOfBoxes(DWORD processId, std::initializer_list<const wchar_t*> captions) {
  const ULONGLONG deadline = GetTickCount64() + kOperationTimeoutMs;
  while (GetTickCount64() < deadline) {
    for (const wchar_t* caption : captions) {
      if (HWND box = WaitForMessageBox(processId, caption, kPollMs)) return box;
    }
  }
  return nullptr;
}

int Install(const std::wstring& updaterExe) {
  ChildProcess updater;
  if (!updater.Start(updaterExe, L"--install")) return Fail(L"cannot start the updater");
  HWND window = WaitForWindow(updater.id(), kUpdaterWindowClass, L"",
                                           kWindowTimeoutMs);
  if (!window) return Fail(L"no window appeared");
  Say(L"window \"" + GetWindowTextOf(window) + L"\": " +
      ControlText(window, IDC_TITLE_LABEL) + L" [" +
      ControlText(window, IDC_PATH_EDIT) + L"]");
  ClickButton(window, IDC_ACTION_BUTTON);
  Say(L"clicked \"Instalar\"");
  const std::wstring result = WaitForOneOfTitles(
      window, {L"Instala\u00e7\u00e3o conclu\u00edda!", L"Erro na instala\u00e7\u00e3o"});
  if (result.empty()) return Fail(L"the install did not finish");
  Say(L"page: " + result + L" " + ControlText(window, IDC_STATUS_LABEL));
  const std::wstring button = ControlText(window, IDC_ACTION_BUTTON);
  ClickButton(window, IDC_ACTION_BUTTON);
  Say(L"clicked \"" + button + L"\"");
  return ExitCodeOf(updater);
}

// Shows the box's text and presses the button.
bool Answer(HWND box, int button, const wchar_t* buttonName) {
  if (!box) return false;
  Say(L"box \"" + GetWindowTextOf(box) + L"\": " +
      GetMessageBoxText(box) + L" -> " + buttonName);
  return AnswerMessageBox(box, button);
}

int Uninstall(const std::wstring& updaterExe) {
  ChildProcess updater;
  if (!updater.Start(updaterExe, L"--uninstall")) return Fail(L"cannot start the updater");
  HWND question = WaitForMessageBox(
      updater.id(), L"Confirmar Desinstala\u00e7\u00e3o", kWindowTimeoutMs);
  if (!Answer(question, IDYES, L"Sim")) return Fail(L"no confirmation question appeared");
  HWND result = WaitForOneOfBoxes(updater.id(), {L"Desinstala\u00e7\u00e3o Conclu\u00edda",
                                                 L"Erro na Desinstala\u00e7\u00e3o"});
  if (!Answer(result, IDOK, L"OK")) return Fail(L"no result box appeared");
  return ExitCodeOf(updater);
}

int RunWithSwitches(const std::wstring& updaterExe, const std::wstring& switches) {
  ChildProcess updater;
  if (!updater.Start(updaterExe, switches)) return Fail(L"cannot start the updater");
  return ExitCodeOf(updater);
}

// Waits for the update service to stop and returns its service-specific exit
// code; the application starts it before it shows its window and as it ends.
int ServiceExitCode() {
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const UniqueServiceHandle service(
      OpenServiceW(manager.get(), kUpdateServiceName, SERVICE_QUERY_STATUS));
  if (!service) return Fail(L"the update service is not registered");
  const ULONGLONG deadline = GetTickCount64() + kOperationTimeoutMs;
  SERVICE_STATUS status{};
  while (GetTickCount64() < deadline && QueryServiceStatus(service.get(), &status)) {
    if (status.dwCurrentState == SERVICE_STOPPED) {
      Say(L"the update service stopped with exit code " +
          std::to_wstring(status.dwServiceSpecificExitCode));
      return static_cast<int>(status.dwServiceSpecificExitCode);
    }
    Sleep(kPollMs);
  }
  return Fail(L"the update service did not stop");
}

// Started as a user starts it, with no elevation, and left running.
int StartPhone(const std::wstring& application) {
  SHELLEXECUTEINFOW start{};
  start.cbSize = sizeof(start);
  start.fMask = SEE_MASK_NOCLOSEPROCESS;
  start.lpFile = application.c_str();
  start.lpParameters = L"--start-update-service";
  start.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&start) || !start.hProcess) return Fail(L"cannot start " + application);
  const UniqueKernelHandle process(start.hProcess);
  if (!WaitForWindow(GetProcessId(process.get()), L"", kProductName, kWindowTimeoutMs)) {
    return Fail(L"the application showed no window");
  }
  Say(L"Zavex Phone runs (started with --start-update-service)");
  return ServiceExitCode();
}

int ClosePhone() {
  const HWND window = FindWindowW(L"ZavexPhoneStandIn", kProductName);
  DWORD processId = 0;
  GetWindowThreadProcessId(window, &processId);
  const UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
  if (!window || !process) return Fail(L"Zavex Phone does not run");
  PostMessageW(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process.get(), kOperationTimeoutMs) != WAIT_OBJECT_0) {
    return Fail(L"Zavex Phone did not end");
  }
  Say(L"Zavex Phone closed");
  return ServiceExitCode();
}

// Under Wine the desktop ends soon after no program is attached to it, and a
// window made on it as it ends is lost to every later program. On a loaded
// machine the application that the updater restarts through the desktop shell
// can be such a window, and a later update then finds nothing to close. A
// window of this driver, kept for an hour or until the prefix stops, keeps the
// desktop for the whole demo.
int HoldDesktop() {
  constexpr UINT kHoldMs = 3600000;
  if (!CreateWindowW(L"STATIC", L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr) ||
      !SetTimer(nullptr, 0, kHoldMs, nullptr)) {
    return Fail(L"cannot hold the desktop");
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER) DispatchMessageW(&message);
  return 0;
}

int Drive(int argc, wchar_t** argv) {
  if (argc == 2 && argv[1] == std::wstring(L"hold-desktop")) return HoldDesktop();
  if (argc < 3) {
    return Fail(L"usage: zavex_demo_driver UPDATER install|uninstall|run SWITCH..., "
                L"APPLICATION start-phone|close-phone or hold-desktop");
  }
  const std::wstring updaterExe = argv[1];
  const std::wstring action = argv[2];
  if (action == L"install" && argc == 3) return Install(updaterExe);
  if (action == L"uninstall" && argc == 3) return Uninstall(updaterExe);
  if (action == L"start-phone" && argc == 3) return StartPhone(updaterExe);
  if (action == L"close-phone" && argc == 3) return ClosePhone();
  if (action != L"run") return Fail(L"unknown action " + action);
  std::wstring switches;
  for (int index = 3; index < argc; ++index) {
    if (index > 3) switches += L" ";
    switches += argv[index];
  }
  return RunWithSwitches(updaterExe, switches);
}

}  // namespace
}  // namespace zavex::test

int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  return zavex::test::Drive(argc, argv);
}
