// Stand-in for the installed application. Its top-level window is titled
// "Zavex Phone" and it ends on WM_CLOSE, unless told otherwise by switches on
// its command line or in "zavexphone.options" beside it:
//   --ignore-close       WM_CLOSE is ignored
//   --close-delay=MS     WM_CLOSE ends the program MS milliseconds later
//   --no-window          no window at all; the program only waits
//   --start-update-service   starts the update service as it starts and as
//                        it ends, as README's "Updates without a prompt" shows
// Every start appends its command line, UTF-8, to "zavexphone_cmdline.txt"
// beside it. Any run ends by itself after kLifetimeMs.
#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/product.h"
#include "base/text_conversion.h"
#include "platform/unique_handle.h"

namespace {

constexpr wchar_t kWindowTitle[] = L"Zavex Phone";
constexpr wchar_t kWindowClass[] = L"ZavexPhoneStandIn";
constexpr DWORD kLifetimeMs = 600000;
constexpr UINT_PTR kCloseTimer = 1;
constexpr UINT_PTR kLifetimeTimer = 2;

struct Options {
  bool ignoreClose = false;
  UINT closeDelayMs = 0;
  bool noWindow = false;
  bool startUpdateService = false;
};

Options options;

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L'\\'));
}

void RecordCommandLine() {
  std::ofstream out(std::filesystem::path(ExeFolder() + L"\\zavexphone_cmdline.txt"),
                    std::ios::binary | std::ios::app);
  out << zavex::WideToUtf8(GetCommandLineW()) << "\n";
}

void ApplySwitch(const std::wstring& option) {
  static const std::wstring kDelay = L"--close-delay=";
  if (option == L"--ignore-close") options.ignoreClose = true;
  if (option == L"--no-window") options.noWindow = true;
  if (option == L"--start-update-service") options.startUpdateService = true;
  if (option.compare(0, kDelay.size(), kDelay) == 0) {
    options.closeDelayMs = static_cast<UINT>(wcstoul(option.c_str() + kDelay.size(), nullptr, 10));
  }
}

void ReadOptions() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; arguments && i < count; ++i) ApplySwitch(arguments[i]);
  LocalFree(arguments);

  std::wifstream file(std::filesystem::path(ExeFolder() + L"\\zavexphone.options"));
  std::wstring option;
  while (file >> option) ApplySwitch(option);
}

// What any user's program may do: start the service, with no arguments. It
// fails harmlessly where the service is not registered.
void StartUpdateService() {
  if (!options.startUpdateService) return;
  const zavex::UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return;
  const zavex::UniqueServiceHandle service(
      OpenServiceW(manager.get(), zavex::kUpdateServiceName, SERVICE_START));
  if (service) StartServiceW(service.get(), 0, nullptr);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      if (options.ignoreClose) return 0;
      if (options.closeDelayMs) {
        SetTimer(window, kCloseTimer, options.closeDelayMs, nullptr);
        return 0;
      }
      DestroyWindow(window);
      return 0;
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

bool CreateMainWindow(HINSTANCE instance) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kWindowClass;
  if (!RegisterClassW(&windowClass)) return false;
  HWND window = CreateWindowW(kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 320, 200, nullptr, nullptr, instance, nullptr);
  if (!window) return false;
  ShowWindow(window, SW_SHOWNORMAL);
  SetTimer(window, kLifetimeTimer, kLifetimeMs, nullptr);
  return true;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  RecordCommandLine();
  ReadOptions();
  StartUpdateService();
  if (options.noWindow) {
    Sleep(kLifetimeMs);
    return 0;
  }
  if (!CreateMainWindow(instance)) return 1;
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  StartUpdateService();
  return 0;
}
