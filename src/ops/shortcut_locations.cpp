#include "ops/shortcut_locations.h"

#include <windows.h>
#include <shlobj.h>

#include "platform/file_system.h"

namespace zavex {
namespace {

std::wstring LinkIn(const std::wstring& folder) {
  if (folder.empty()) return {};
  return folder + L"\\" + kShortcutName + L".lnk";
}

}  // namespace

std::wstring DesktopShortcutPath() { return LinkIn(ShellFolderPath(CSIDL_DESKTOPDIRECTORY)); }

std::wstring StartMenuShortcutPath() {
  const std::wstring programs = ShellFolderPath(CSIDL_PROGRAMS);
  return programs.empty() ? std::wstring() : LinkIn(programs + L"\\" + kShortcutName);
}

}  // namespace zavex
