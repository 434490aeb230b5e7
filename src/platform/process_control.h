#pragma once

#include <string>

namespace zavex {

// Title of the installed application's main window.
inline constexpr wchar_t kApplicationWindowTitle[] = L"Zavex Phone";

// True when a running process has the file name exeName, in any letter case.
bool IsProcessRunning(const std::wstring& exeName);

// Posts WM_CLOSE to every top-level window titled kApplicationWindowTitle
// that belongs to a running process named exeName, and to no other window;
// true when one was asked. Does not wait.
bool RequestApplicationClose(const std::wstring& exeName);

}  // namespace zavex
