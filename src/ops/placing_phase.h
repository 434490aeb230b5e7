#pragma once

#include <string>
#include <vector>

#include "formats/manifest.h"
#include "ops/download_phase.h"
#include "ops/placing_journal.h"

namespace zavex {

// The placing phase of the staged install and update: after the download
// phase has fetched and verified each file into its ".tmp" beside its place
// without touching an installed file, it puts them all in place or none.
// The commit then writes the record and only after it deletes what was kept.

// A file that the placing phase put in place; previousKept when its former
// version waits as ".old".
struct PlacedFile {
  const StagedFile* file;
  bool previousKept;
};

// Puts every verified file in place, keeping each previous version as
// ".old"; the hold on this program's own file ends when a file replaces it.
// Before the first swap, the ".old" files of earlier runs are deleted and
// journal is written with the hashes that installed records; a file that
// would land on the journal fails the phase. When one cannot be placed, every
// file placed before it goes back (one without a previous version is
// removed), the temp files and the journal are deleted, and error becomes
// "Falha ao instalar: " and the path. Remove the journal once the record is
// saved and the leftovers are deleted.
bool PlacingPhase(const std::wstring& installPath, const Manifest& installed,
                  const std::vector<const StagedFile*>& verified, PlacingJournal& journal,
                  std::vector<PlacedFile>& placed, std::wstring& error);

// Deletes the ".old" files that the placing phase kept; only once the record
// is saved. Best effort: a file that stays is logged as a WARN.
void DeletePreviousVersions(const std::vector<PlacedFile>& placed);

// finalPath + ".old", where a placing keeps the previous version.
std::wstring PreviousVersionPath(const std::wstring& finalPath);

// Moves ".old" back over whatever stands at finalPath (by copy when it
// cannot be moved); GetLastError gives the code of a failure.
bool PutPreviousBack(const std::wstring& finalPath);

// Moves the file at finalPath aside as ".old" (by a copy to ".old.tmp"
// renamed to ".old" when it cannot be moved, so that ".old" is never part of
// a file) and tempPath into its place (by copy when the move fails). A file
// whose previous version cannot be kept is not replaced. False, with the
// previous version back in place, when the new file could not be placed;
// previousKept tells whether ".old" holds the previous version, and
// GetLastError the code of the call that failed.
bool SwapIntoPlace(const std::wstring& tempPath, const std::wstring& finalPath,
                   bool& previousKept);

// Deletes every file under folder, at any depth, whose name is longer than
// four characters and ends in ".old" or ".tmp" (letter case counts). Best
// effort: a file that stays is logged as a WARN.
void CleanupLeftovers(const std::wstring& folder);

}  // namespace zavex
