#pragma once

#include <windows.h>

#include "app/command_line.h"

namespace zavex {

// The updater, with its window or silent. 0 applied, 1 failed, 2 no update.
int RunUpdater(HINSTANCE instance, const CommandLineArgs& args, bool silent);

}  // namespace zavex
