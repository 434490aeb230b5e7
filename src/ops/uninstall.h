#pragma once

#include <string>

namespace zavex {

// Closes the application and removes its registration, shortcuts and files.
bool Uninstall(const std::wstring& installPath, std::wstring& error);

}  // namespace zavex
