#pragma once

#include "app/command_line.h"

namespace zavex {

// The "--silent" mode without a window: 0 applied, 1 failed, 2 no update.
int RunSilentUpdate(const CommandLineArgs& args);

}  // namespace zavex
