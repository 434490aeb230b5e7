#pragma once

#include <string>

namespace zavex {

// The quoted installPath\zavex_updater.exe followed by " --service": what the
// service manager starts, and what a service run expects to be started as.
std::wstring UpdateServiceCommandLine(const std::wstring& installPath);

// True when only administrators can change folder (OnlyAdministratorsCanChange),
// or a test build is told to take it for such a folder: the only folders
// that the service runs from, and is registered for.
bool IsTrustedServiceFolder(const std::wstring& folder);

// Registers kUpdateServiceName to run installPath's updater (see
// RegisterService), and the scheduled task of that name that starts it at
// each logon and every 6 hours (see ScheduledTaskXml; best effort). True when
// the service was stored, or was left out, with a WARN, because others than
// administrators can change installPath: whoever can replace the updater
// there would have it started as SYSTEM.
bool RegisterUpdateService(const std::wstring& installPath);

// The same, only when no such service is registered: installations made
// before the service existed. Best effort.
void RegisterUpdateServiceIfMissing(const std::wstring& installPath);

// Stops the service and deletes it once it has stopped (see RemoveService),
// then removes the scheduled task (best effort); true when the service is
// gone, false when it stays registered, with its task.
bool RemoveUpdateService();

}  // namespace zavex
