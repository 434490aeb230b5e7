#pragma once

#include <string>

#include "base/product.h"

namespace zavex {

// installPath\zavexphone.exe
std::wstring ApplicationExePath(const std::wstring& installPath);

// True when a process runs installPath\zavexphone.exe; a program of that
// name elsewhere does not count.
bool IsApplicationRunning(const std::wstring& installPath);

// When the installation's application runs: asks its window to close and,
// when a window was found, gives it 2 s. Does not check again.
void AskRunningApplicationToClose(const std::wstring& installPath);

// When the installation's application runs: asks it to close and polls up
// to 10 s. True when it is not running afterwards.
bool CloseApplicationAndWait(const std::wstring& installPath);

// Opens installPath\zavexphone.exe through the desktop shell, so that it runs
// as the signed-in user; where no shell desktop can be reached, directly, with
// this process's rights. Logs which way was taken; the result is not checked.
void StartApplication(const std::wstring& installPath);

// StartApplication when installPath\zavexphone.exe exists as a file.
void StartApplicationIfPresent(const std::wstring& installPath);

}  // namespace zavex
