#pragma once

#include <string>

#include "base/product.h"

namespace zavex {

// Name of the shortcuts and of the Start menu folder that holds one.
inline constexpr const wchar_t* kShortcutName = kProductName;

// Desktop\Zavex Phone.lnk; empty when the shell cannot name the desktop.
std::wstring DesktopShortcutPath();

// Programs\Zavex Phone\Zavex Phone.lnk; empty when the shell cannot name it.
std::wstring StartMenuShortcutPath();

}  // namespace zavex
