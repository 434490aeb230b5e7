#pragma once

#include <windows.h>

#include <string>

#include "ops/release_server.h"

namespace zavex {

// The installer window's caption, also of its questions.
inline constexpr wchar_t kInstallerCaption[] = L"Zavex Phone - Instalador";

// The interactive installer, offering folder first. 0 when an installation
// completed, else 1.
int RunInstaller(HINSTANCE instance, const std::wstring& folder, const ReleaseServer& server);

}  // namespace zavex
