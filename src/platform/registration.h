#pragma once

#include <string>

namespace zavex {

// On failure, GetLastError holds the registry's error code.

// Stores a REG_SZ value under HKEY_CURRENT_USER\subKey, creating missing
// keys. An empty valueName is the key's default value.
bool WriteRegistryString(const std::wstring& subKey, const std::wstring& valueName,
                         const std::wstring& data);

// The installed-programs entry under ...\CurrentVersion\Uninstall\keyName;
// true when all nine values were stored.
bool RegisterUninstallEntry(const std::wstring& keyName, const std::wstring& displayName,
                            const std::wstring& displayVersion, const std::wstring& publisher,
                            const std::wstring& installLocation,
                            const std::wstring& uninstallString, const std::wstring& displayIcon);

// The InstallLocation of the current user's installed-programs entry
// keyName; empty when there is none.
std::wstring RegisteredInstallLocation(const std::wstring& keyName);

// Deletes the installed-programs entry keyName with everything below it;
// true when it is gone.
bool RemoveUninstallEntry(const std::wstring& keyName);

// Makes exePath the current user's handler of tel: links, started with the
// link as its one argument.
bool RegisterTelHandler(const std::wstring& exePath);

// Deletes the tel: handler, but only when its command starts exePath: a
// handler that another program registered since stays. True when deleted.
bool RemoveTelHandler(const std::wstring& exePath);

}  // namespace zavex
