#include "ops/uninstall.h"

#include <windows.h>

#include "base/install_location.h"
#include "formats/manifest.h"
#include "ops/application_control.h"
#include "ops/installed_manifest.h"
#include "ops/shortcut_locations.h"
#include "platform/file_system.h"
#include "platform/process_control.h"
#include "platform/registration.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

void RemoveRegistration(const std::wstring& installPath) {
  RemoveUninstallEntry(kProductName);
  RemoveTelHandler(ApplicationExePath(installPath));
  UniqueKey runKey;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, runKey.put()) == ERROR_SUCCESS) {
    RegDeleteValueW(runKey.get(), kProductName);
  }
}

void RemoveShortcuts() {
  const std::wstring desktopLink = DesktopShortcutPath();
  if (!desktopLink.empty()) DeleteFileW(desktopLink.c_str());
  RemoveStartMenuFolder(kShortcutName);
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

bool SamePath(const std::wstring& left, const std::wstring& right) {
  const std::wstring a = WithoutTrailingSeparators(left);
  const std::wstring b = WithoutTrailingSeparators(right);
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Only a folder that holds this program's record, or its default folder: any
// other program may keep a file named manifest.json.
bool IsInstallationFolder(const std::wstring& installPath) {
  return IsValid(LoadManifestFile(InstalledManifestPath(installPath))) ||
         SamePath(installPath, GetDefaultInstallFolder());
}

}  // namespace

bool Uninstall(const std::wstring& installPath, std::wstring& error) {
  AskRunningApplicationToClose();
  if (IsProcessRunning(kApplicationExeName)) {
    error = L"Por favor, feche o Zavex Phone antes de desinstalar.";
    return false;
  }
  RemoveRegistration(installPath);
  RemoveShortcuts();
  if (IsInstallationFolder(installPath)) RemoveDirectoryRecursive(installPath);
  return true;
}

}  // namespace zavex
