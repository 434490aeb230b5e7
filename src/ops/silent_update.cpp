#include "ops/silent_update.h"

namespace zavex {

int RunSilentUpdate(const CommandLineArgs&) { return 1; }

}  // namespace zavex
