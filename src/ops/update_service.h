#pragma once

#include <string>

namespace zavex {

// The quoted installPath\zavex_updater.exe followed by " --service": what the
// service manager starts, and what a service run expects to be started as.
std::wstring UpdateServiceCommandLine(const std::wstring& installPath);

// Registers kUpdateServiceName to run installPath's updater (see
// RegisterService), and the scheduled task of that name that starts it at
// each logon and every 6 hours (see ScheduledTaskXml; best effort). True when
// the service was stored.
bool RegisterUpdateService(const std::wstring& installPath);

// The same, only when no such service is registered: installations made
// before the service existed. Best effort.
void RegisterUpdateServiceIfMissing(const std::wstring& installPath);

// Removes the scheduled task (best effort), stops and deletes the service;
// true when the service is gone.
bool RemoveUpdateService();

}  // namespace zavex
