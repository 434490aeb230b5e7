#pragma once

#include <windows.h>

#include <string>

#include "app/command_line.h"

namespace zavex {

// Size of the buffers handed to the module-path and shell-folder APIs.
constexpr DWORD kMaxPathChars = 260;

// The mode switch, or UPDATER when an installation is found for the installer.
OperationMode GetOperationMode(const CommandLineArgs& args);

// "--path=", else the executable's folder when it holds manifest.json, else
// the default folder under Program Files. Never empty.
std::wstring GetInstallPath(const CommandLineArgs& args);

std::wstring GetExecutablePath();
std::wstring GetExecutableFolder();
std::wstring GetProgramFilesFolder();

// The Program Files folder followed by "\ZavexPhone".
std::wstring GetDefaultInstallFolder();

}  // namespace zavex
