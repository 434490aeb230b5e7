#pragma once

#include <string>

namespace zavex {

// Closes the application and removes its registration, shortcuts and files.
// The folder's tree is removed only when its manifest.json is a valid record
// or it is the default folder, so a wrong folder is never wiped. False, with
// error set and nothing removed, when the application would not close or the
// update service could not be stopped and removed.
bool Uninstall(const std::wstring& installPath, std::wstring& error);

}  // namespace zavex
