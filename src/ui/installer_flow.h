#pragma once

#include <windows.h>

#include "app/command_line.h"

namespace zavex {

int RunInstaller(HINSTANCE instance, const CommandLineArgs& args);

}  // namespace zavex
