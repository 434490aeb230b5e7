#pragma once

#include <string>

namespace zavex {

// Saves a shell link to targetPath at shortcutPath, replacing an existing
// file. An empty workingDirectory means the target's folder, an empty
// iconPath the target's first icon. COM must be initialised on the thread.
// On failure, GetLastError holds the failing call's HRESULT.
bool CreateShortcut(const std::wstring& shortcutPath, const std::wstring& targetPath,
                    const std::wstring& description, const std::wstring& workingDirectory,
                    const std::wstring& iconPath, const std::wstring& arguments);

}  // namespace zavex
