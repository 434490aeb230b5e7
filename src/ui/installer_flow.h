#pragma once

#include <windows.h>

#include "app/command_line.h"

namespace zavex {

// The interactive installer. 0 when an installation completed, else 1.
int RunInstaller(HINSTANCE instance, const CommandLineArgs& args);

}  // namespace zavex
