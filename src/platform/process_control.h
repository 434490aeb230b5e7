#pragma once

#include <string>

namespace zavex {

// True when a running process's image is the file exePath, compared as
// Windows compares paths (any letter case). A process whose image cannot be
// read does not count.
bool IsProcessRunning(const std::wstring& exePath);

// Posts WM_CLOSE to every top-level window titled windowTitle that belongs
// to a running process of the image exePath, and to no other window; true
// when one was asked. Does not wait.
bool RequestApplicationClose(const std::wstring& exePath, const std::wstring& windowTitle);

}  // namespace zavex
