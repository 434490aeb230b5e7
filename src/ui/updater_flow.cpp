#include "ui/updater_flow.h"

#include "ops/silent_update.h"

namespace zavex {

int RunUpdater(HINSTANCE, const CommandLineArgs& args, bool silent) {
  if (silent) return RunSilentUpdate(args);
  return 2;
}

}  // namespace zavex
