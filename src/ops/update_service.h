#pragma once

#include <string>

namespace zavex {

// The quoted installPath\zavex_updater.exe followed by " --service": what the
// service manager starts, and what a service run expects to be started as.
std::wstring UpdateServiceCommandLine(const std::wstring& installPath);

// Registers kUpdateServiceName to run installPath's updater (see
// RegisterService). True when it was stored.
bool RegisterUpdateService(const std::wstring& installPath);

// The same, only when no such service is registered: installations made
// before the service existed. Best effort.
void RegisterUpdateServiceIfMissing(const std::wstring& installPath);

// Stops and deletes the service; true when it is gone.
bool RemoveUpdateService();

}  // namespace zavex
