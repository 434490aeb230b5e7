#pragma once

#include <windows.h>

#include <string>

#include "ops/release_server.h"

namespace zavex {

// The updater window for the installation in installFolder: 0 applied, 1
// failed, 2 no update. When nothing is installed there it asks whether to
// install, and the installer offers newInstallFolder.
int RunUpdater(HINSTANCE instance, const std::wstring& installFolder,
               const std::wstring& newInstallFolder, const ReleaseServer& server);

}  // namespace zavex
