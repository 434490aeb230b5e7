#pragma once

#include <string>

#include "formats/manifest.h"

namespace zavex {

// installPath\manifest.json, the record of what is installed.
std::wstring InstalledManifestPath(const std::wstring& installPath);

// Writes the manifest beside the record and moves it over the record in one
// replace, so an interrupted write leaves the previous record intact.
// False, with "Falha ao salvar manifest.json", when either step failed.
bool SaveInstalledManifest(const std::wstring& installPath, const Manifest& manifest,
                           std::wstring& error);

// Deletes installPath\zavex_updater.exe.old, which a run that put a new
// updater in place of its own running executable could not delete; such a
// leftover is no failure.
void RemovePreviousUpdater(const std::wstring& installPath);

}  // namespace zavex
