#pragma once

#include <string>

namespace zavex {

// Copies the running executable, from the handle held since the start, over
// installPath\zavex_updater.exe, retrying
// while the target is locked. 0 when copied, 1 after ten failed attempts.
int RunSelfUpdate(const std::wstring& installPath);

}  // namespace zavex
