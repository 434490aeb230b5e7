#include "ops/installed_manifest.h"

#include <windows.h>

#include "app/logger.h"
#include "app/text_conversion.h"
#include "platform/file_system.h"

namespace zavex {

std::wstring InstalledManifestPath(const std::wstring& installPath) {
  return installPath + L"\\manifest.json";
}

bool SaveInstalledManifest(const std::wstring& installPath, const Manifest& manifest,
                           std::wstring& error) {
  const std::wstring recordPath = InstalledManifestPath(installPath);
  // The ".tmp" name lets a later leftover cleanup remove an abandoned copy.
  const std::wstring stagingPath = recordPath + L".tmp";
  const bool written = WriteWholeFile(stagingPath, SerializeManifest(manifest));
  if (written && MoveFileExW(stagingPath.c_str(), recordPath.c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  RemoveFile(stagingPath);
  Logger::Instance().Error("Failed to save manifest.json");
  error = L"Falha ao salvar manifest.json";
  return false;
}

void RemovePreviousUpdater(const std::wstring& installPath) {
  const std::wstring previous = installPath + L"\\" + Utf8ToWide(kUpdaterFileName) + L".old";
  if (IsExistingFile(previous) && RemoveFile(previous)) {
    Logger::Instance().Info("Removed the previous updater, zavex_updater.exe.old");
  }
}

}  // namespace zavex
