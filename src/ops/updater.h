#pragma once

#include "app/command_line.h"

namespace zavex {

// The "--check" mode: 0 when an update is available, 1 on failure, 2 when none.
int RunSilentCheck(const CommandLineArgs& args);

}  // namespace zavex
