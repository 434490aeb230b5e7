#pragma once

#include <string>
#include <vector>

#include "formats/manifest.h"
#include "ops/download_phase.h"
#include "ops/operation_callbacks.h"
#include "ops/update_check.h"

namespace zavex {

// The staged update, also used by the install: a plan of files, a download
// phase that fetches and verifies each into its ".tmp" beside its place
// without touching an installed file, a placing phase that puts them all in
// place or none, and a commit that writes the record last.

// A file that the placing phase put in place; previousKept when its former
// version waits as ".old".
struct PlacedFile {
  const StagedFile* file;
  bool previousKept;
};

// Puts every verified file in place, keeping each previous version as
// ".old". When one cannot be placed, every file placed before it goes back
// (one without a previous version is removed), the temp files are deleted,
// and error becomes "Falha ao instalar: " and the path.
bool PlacingPhase(const std::vector<const StagedFile*>& verified,
                  std::vector<PlacedFile>& placed, std::wstring& error);

// Deletes the ".old" files that the placing phase kept; only once the record
// is saved.
void DeletePreviousVersions(const std::vector<PlacedFile>& placed);

// The server's manifest as the record, without its expiry, except that an
// optional file that did not arrive keeps its installed entry, or has none
// when it is new, so that a later release brings it.
Manifest ManifestToRecord(const Manifest& server, const Manifest& installed,
                          const std::vector<std::string>& missingOptional);

// Moves back each file that record lists and that is missing while its
// ".old" exists, as an interrupted run may have left it.
void RestoreMissingFromOld(const std::wstring& installPath, const Manifest& record);

// Moves the file at finalPath aside as ".old" (by copy when it cannot be
// moved) and tempPath into its place (by copy when the move fails). A file
// whose previous version cannot be kept is not replaced. False, with the
// previous version back in place, when the new file could not be placed;
// previousKept tells whether ".old" holds the previous version.
bool SwapIntoPlace(const std::wstring& tempPath, const std::wstring& finalPath,
                   bool& previousKept);

// Applies the update that the last positive check stored in state (checking
// first when none did): closes the application, then runs the staged update,
// deleting removed files before the record and every leftover ".old" and
// ".tmp" after it. False with error set when it stopped.
bool DoUpdate(UpdaterState& state, const ProgressCallback& onProgress, std::wstring& error);

// Deletes every file under folder, at any depth, whose name is longer than
// four characters and ends in ".old" or ".tmp" (letter case counts).
void CleanupLeftovers(const std::wstring& folder);

}  // namespace zavex
