#pragma once

#include <iterator>
#include <string>

#include "base/product.h"
#include "platform/file_system.h"

namespace zavex {

// The longest installation folder that still holds the program's own copy:
// the folder, "\zavex_updater.exe" and the terminator fit in kMaxPathChars.
inline constexpr size_t kMaxInstallFolderChars = kMaxPathChars - 1 - std::size(kUpdaterExeName);

std::wstring GetExecutablePath();
std::wstring GetExecutableFolder();
std::wstring GetProgramFilesFolder();

// The Program Files folder followed by "\ZavexPhone".
std::wstring GetDefaultInstallFolder();

// True when folder holds a file named manifest.json (any content).
bool HoldsRecordFile(const std::wstring& folder);

// installFolder\zavex_updater.exe, the copy that the installed-programs entry starts.
std::wstring InstalledUpdaterPath(const std::wstring& installFolder);

// False, with the Portuguese reason in error, for a folder longer than
// kMaxInstallFolderChars: the program could not run from it.
bool CheckInstallFolder(const std::wstring& folder, std::wstring& error);

}  // namespace zavex
