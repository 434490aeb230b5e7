#include "support/process.h"

#include <vector>

namespace zavex::test {
namespace {

constexpr DWORD kPollMs = 50;

struct WindowQuery {
  DWORD processId;
  const std::wstring* className;
  const std::wstring* title;
  HWND found = nullptr;
};

std::wstring GetClassNameOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* query = reinterpret_cast<WindowQuery*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != query->processId || !IsWindowVisible(window)) return TRUE;
  if (!query->className->empty() && GetClassNameOf(window) != *query->className) return TRUE;
  if (!query->title->empty() && GetWindowTextOf(window) != *query->title) return TRUE;
  query->found = window;
  return FALSE;
}

HWND FindProcessWindow(DWORD processId, const std::wstring& className, const std::wstring& title) {
  WindowQuery query{processId, &className, &title};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&query));
  return query.found;
}

template <typename Condition>
bool PollUntil(DWORD timeoutMs, Condition condition) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!condition()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollMs);
  }
  return true;
}

}  // namespace

std::wstring BuildDir() { return ZAVEX_BUILD_DIR_WIN; }

std::wstring UpdaterExePath() { return BuildDir() + L"\\zavex_updater.exe"; }

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const std::wstring& exePath, const std::wstring& arguments,
                         const std::wstring& workingDir) {
  std::wstring commandLine = L"\"" + exePath + L"\"";
  if (!arguments.empty()) commandLine += L" " + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(L'\0');

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(exePath.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &info)) {
    return false;
  }
  UniqueKernelHandle thread(info.hThread);
  process.reset(info.hProcess);
  processId = info.dwProcessId;
  return true;
}

std::optional<DWORD> ChildProcess::Wait(DWORD timeoutMs) {
  if (!process) return std::nullopt;
  if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

bool ChildProcess::running() const {
  return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

void ChildProcess::Kill() {
  if (!running()) return;
  TerminateProcess(process.get(), 0xDEAD);
  WaitForSingleObject(process.get(), 5000);
}

RunResult RunProcess(const std::wstring& exePath, const std::wstring& arguments,
                     DWORD timeoutMs) {
  RunResult result;
  ChildProcess child;
  result.started = child.Start(exePath, arguments);
  if (!result.started) return result;
  const std::optional<DWORD> code = child.Wait(timeoutMs);
  result.timedOut = !code.has_value();
  result.exitCode = code.value_or(0);
  return result;
}

HWND WaitForWindow(DWORD processId, const std::wstring& className, const std::wstring& title,
                   DWORD timeoutMs) {
  HWND found = nullptr;
  PollUntil(timeoutMs, [&] {
    found = FindProcessWindow(processId, className, title);
    return found != nullptr;
  });
  return found;
}

HWND WaitForMessageBox(DWORD processId, const std::wstring& caption, DWORD timeoutMs) {
  return WaitForWindow(processId, L"#32770", caption, timeoutMs);
}

bool WaitForWindowGone(DWORD processId, const std::wstring& className, const std::wstring& title,
                       DWORD timeoutMs) {
  return PollUntil(timeoutMs,
                   [&] { return FindProcessWindow(processId, className, title) == nullptr; });
}

bool RunsUnderWow64(HANDLE process) {
  BOOL wow64 = FALSE;
  return IsWow64Process(process, &wow64) && wow64;
}

UniqueKey OpenUserKeyAsTheShellSeesIt(const std::wstring& subKey) {
  UniqueKey key;
  RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put());
  return key;
}

std::wstring GetWindowTextOf(HWND window) {
  wchar_t text[4096] = {};
  SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      5000, nullptr);
  return text;
}

std::wstring GetMessageBoxText(HWND box) {
  // The message text is the static control with the identifier 0xFFFF.
  return GetWindowTextOf(GetDlgItem(box, 0xFFFF));
}

bool AnswerMessageBox(HWND box, int buttonId) {
  HWND button = GetDlgItem(box, buttonId);
  if (!button) return false;
  return PostMessageW(box, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button)) != FALSE;
}

}  // namespace zavex::test
