#pragma once

#include <string>

namespace zavex {

// True when a running process has the file name exeName, in any letter case.
bool IsProcessRunning(const std::wstring& exeName);

// Posts WM_CLOSE to every top-level window titled windowTitle that belongs
// to a running process named exeName, and to no other window; true when one
// was asked. Does not wait.
bool RequestApplicationClose(const std::wstring& exeName, const std::wstring& windowTitle);

}  // namespace zavex
