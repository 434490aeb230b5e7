#pragma once

#include <string>

namespace zavex {

// Title of the installed application's main window.
inline constexpr wchar_t kApplicationWindowTitle[] = L"Zavex Phone";

// True when a running process has the file name exeName, in any letter case.
bool IsProcessRunning(const std::wstring& exeName);

// Posts WM_CLOSE to the top-level window titled kApplicationWindowTitle;
// true when such a window was found. Does not wait.
bool RequestApplicationClose();

}  // namespace zavex
