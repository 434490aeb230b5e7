#pragma once

#include <string>

namespace zavex {

// Opens file, in the working folder folder, through the desktop shell's
// IShellDispatch2::ShellExecute: the shell starts it, so it runs with the
// signed-in user's own token and not this elevated process's. False when no
// shell desktop could be reached or it refused; nothing is started then.
bool OpenThroughDesktopShell(const std::wstring& file, const std::wstring& folder);

}  // namespace zavex
