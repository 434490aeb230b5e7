#include "ui/installer_flow.h"

namespace zavex {

int RunInstaller(HINSTANCE, const CommandLineArgs&) { return 1; }

}  // namespace zavex
