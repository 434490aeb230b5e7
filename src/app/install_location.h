#pragma once

#include <windows.h>

#include <string>

#include "app/command_line.h"

namespace zavex {

// Size of the buffers handed to the module-path and shell-folder APIs.
constexpr DWORD kMaxPathChars = 260;

// The longest installation folder that still holds the program's own copy:
// the folder, "\zavex_updater.exe" and the terminator fit in kMaxPathChars.
constexpr size_t kMaxInstallFolderChars = kMaxPathChars - sizeof("\\zavex_updater.exe");

// The mode switch, or UPDATER when an installation is found for the installer.
OperationMode GetOperationMode(const CommandLineArgs& args);

// "--path=", else the executable's folder when it holds manifest.json and is
// this account's registered installation or only administrators can change
// it, else the default folder under Program Files. Never empty.
std::wstring GetInstallPath(const CommandLineArgs& args);

std::wstring GetExecutablePath();
std::wstring GetExecutableFolder();
std::wstring GetProgramFilesFolder();

// The Program Files folder followed by "\ZavexPhone".
std::wstring GetDefaultInstallFolder();

// False, with the Portuguese reason in error, for a folder longer than
// kMaxInstallFolderChars: the program could not run from it.
bool CheckInstallFolder(const std::wstring& folder, std::wstring& error);

}  // namespace zavex
