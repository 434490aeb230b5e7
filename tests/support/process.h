#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "platform/unique_handle.h"

namespace zavex::test {

// Windows path of the build tree, where the built programs are.
std::wstring BuildDir();
std::wstring UpdaterExePath();

// A program started with an exact command line; killed if still running
// when the object goes away.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&&) = default;
  ChildProcess& operator=(ChildProcess&&) = default;
  ~ChildProcess();

  // arguments follow the quoted program path on the command line.
  bool Start(const std::wstring& exePath, const std::wstring& arguments,
             const std::wstring& workingDir = L"");
  // The exit code, or nothing when the program still runs after timeoutMs.
  std::optional<DWORD> Wait(DWORD timeoutMs);
  void Kill();
  DWORD id() const { return processId; }
  HANDLE handle() const { return process.get(); }
  bool running() const;

 private:
  UniqueKernelHandle process;
  DWORD processId = 0;
};

struct RunResult {
  bool started = false;
  bool timedOut = false;
  DWORD exitCode = 0;
};

// Starts, waits, and kills on timeout.
RunResult RunProcess(const std::wstring& exePath, const std::wstring& arguments,
                     DWORD timeoutMs = 60000);

// The first visible top-level window of the process whose class and title
// match (an empty filter matches anything), polled until timeoutMs.
HWND WaitForWindow(DWORD processId, const std::wstring& className, const std::wstring& title,
                   DWORD timeoutMs = 20000);

// A message box (#32770) of the process with the caption.
HWND WaitForMessageBox(DWORD processId, const std::wstring& caption, DWORD timeoutMs = 20000);

// True once no window of that class and title is left in the process.
bool WaitForWindowGone(DWORD processId, const std::wstring& className, const std::wstring& title,
                       DWORD timeoutMs = 20000);

// A 32-bit process on 64-bit Windows; the shell gives it other folders.
bool RunsUnderWow64(HANDLE process);

// The key under HKEY_CURRENT_USER for reading, in the 64-bit view: on 64-bit
// Windows the shell that reads the program's keys is 64-bit, also when the
// 32-bit program wrote them. Empty when missing.
UniqueKey OpenUserKeyAsTheShellSeesIt(const std::wstring& subKey);

std::wstring GetWindowTextOf(HWND window);

// The text shown in a message box: its static control.
std::wstring GetMessageBoxText(HWND box);

// Presses a message box button (IDYES, IDNO, IDOK, ...).
bool AnswerMessageBox(HWND box, int buttonId);

}  // namespace zavex::test
