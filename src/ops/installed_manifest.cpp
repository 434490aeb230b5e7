#include "ops/installed_manifest.h"

#include <windows.h>

#include <unordered_map>
#include <unordered_set>

#include "base/install_location.h"
#include "base/logger.h"
#include "base/product.h"
#include "platform/file_system.h"

namespace zavex {

std::wstring InstalledManifestPath(const std::wstring& installPath) {
  return installPath + L"\\" + kManifestFileName;
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
  const DWORD code = GetLastError();
  RemoveFile(stagingPath);
  Logger::Instance().Error("Failed to save manifest.json" + WindowsErrorText(code));
  error = L"Falha ao salvar manifest.json";
  return false;
}

void RemovePreviousUpdater(const std::wstring& installPath) {
  const std::wstring previous = InstalledUpdaterPath(installPath) + L".old";
  if (IsExistingFile(previous) && RemoveFile(previous)) {
    Logger::Instance().Info("Removed the previous updater, zavex_updater.exe.old");
  }
}

Manifest ManifestToRecord(const Manifest& server, const Manifest& installed,
                          const std::vector<std::string>& missingOptional) {
  Manifest record = server;
  record.expires.clear();
  record.rollout = Manifest().rollout;
  record.criticalBelow = Manifest().criticalBelow;
  record.deltaIndex = DeltaIndexRef();
  if (missingOptional.empty()) return record;
  const std::unordered_set<std::string> missing(missingOptional.begin(), missingOptional.end());
  std::unordered_map<std::string, const ManifestFile*> installedEntries;
  for (const ManifestFile& file : installed.files) installedEntries.emplace(file.path, &file);

  record.files.clear();
  for (const ManifestFile& file : server.files) {
    if (missing.count(file.path) == 0) {
      record.files.push_back(file);
      continue;
    }
    const auto previous = installedEntries.find(file.path);
    if (previous != installedEntries.end()) record.files.push_back(*previous->second);
  }
  return record;
}

}  // namespace zavex
