#pragma once

#include <windows.h>

#include "app/command_line.h"

namespace zavex {

int RunUpdater(HINSTANCE instance, const CommandLineArgs& args, bool silent);

}  // namespace zavex
