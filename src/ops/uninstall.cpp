#include "ops/uninstall.h"

#include <windows.h>

#include "base/install_location.h"
#include "base/logger.h"
#include "base/text_conversion.h"
#include "formats/manifest.h"
#include "ops/application_control.h"
#include "ops/installed_manifest.h"
#include "ops/shortcut_locations.h"
#include "ops/update_service.h"
#include "platform/file_system.h"
#include "platform/manifest_file.h"
#include "platform/registration.h"
#include "platform/unique_handle.h"

namespace zavex {
namespace {

constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

// True when the removal succeeded or found nothing to remove; keeps the
// Windows error code otherwise.
bool RemovedOrMissing(bool removed) {
  if (removed) return true;
  const DWORD code = GetLastError();
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

void RemoveRegistration(const std::wstring& installPath) {
  BestEffort(RemoveUninstallEntry(kProductName), "Removing the installed-programs entry");
  RemoveTelHandler(ApplicationExePath(installPath));
  UniqueKey runKey;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_WRITE, runKey.put()) == ERROR_SUCCESS) {
    RegDeleteValueW(runKey.get(), kProductName);
  }
}

void RemoveShortcuts() {
  const std::wstring desktopLink = DesktopShortcutPath();
  if (!desktopLink.empty()) {
    BestEffort(RemovedOrMissing(DeleteFileW(desktopLink.c_str())),
               "Deleting the desktop shortcut " + WideToUtf8(desktopLink));
  }
  BestEffort(RemovedOrMissing(RemoveStartMenuFolder(kShortcutName)),
             "Removing the Start menu folder");
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
  AskRunningApplicationToClose(installPath);
  if (IsApplicationRunning(installPath)) {
    error = L"Por favor, feche o Zavex Phone antes de desinstalar.";
    return false;
  }
  // A service left registered for a folder that is then removed would run,
  // as SYSTEM, whatever someone puts at its path later.
  if (!RemoveUpdateService()) {
    Logger::Instance().Error(
        "The update service did not stop within its bound, or could not be deleted: nothing "
        "else was removed");
    error = L"Não foi possível parar o serviço de atualização do Zavex Phone. Tente desinstalar "
            L"novamente em alguns minutos.";
    return false;
  }
  RemoveRegistration(installPath);
  RemoveShortcuts();
  if (IsInstallationFolder(installPath)) {
    BestEffort(RemovedOrMissing(RemoveDirectoryRecursive(installPath)),
               "Removing the installation folder " + WideToUtf8(installPath));
  }
  return true;
}

}  // namespace zavex
