#include "ops/updater.h"

namespace zavex {

int RunSilentCheck(const CommandLineArgs&) { return 1; }

}  // namespace zavex
