#pragma once

#include <string>
#include <vector>

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

// The server's manifest as the record, without its expiry, except that an optional file that did
// not arrive keeps its installed entry, or has none when it is new, so that
// a later release brings it.
Manifest ManifestToRecord(const Manifest& server, const Manifest& installed,
                          const std::vector<std::string>& missingOptional);

}  // namespace zavex
