#pragma once

#include <string>
#include <vector>

#include "formats/manifest.h"
#include "ops/file_transfer.h"
#include "ops/operation_callbacks.h"
#include "ops/update_check.h"

namespace zavex {

// The staged update, also used by the install: a plan of files, a download
// phase that fetches and verifies each into its ".tmp" beside its place
// without touching an installed file, a placing phase that puts them all in
// place or none, and a commit that writes the record last.

// One file of a run, downloaded beside its place before it is put there.
struct StagedFile {
  StagedFile(const std::wstring& installPath, const ManifestFile& manifestEntry);

  ManifestFile entry;
  std::wstring widePath;
  std::wstring finalPath;  // installPath, "\" and the path, separators as written
  std::wstring tempPath;   // finalPath + ".tmp"
};

std::vector<StagedFile> StageFiles(const std::wstring& installPath,
                                   const std::vector<ManifestFile>& entries);

// What the download phase of one run works with.
struct DownloadRun {
  const std::wstring& installPath;
  const TransferCancel& cancel;
  const ProgressCallback& onProgress;
  const bool addNoCacheQuery;  // updates ask past caches; the install does not
  HttpClient& http;
  Sha256Hasher& hasher;
  TransferCounts counts;
};

// What the download phase leaves for the placing phase and the record.
struct DownloadedFiles {
  std::vector<const StagedFile*> verified;   // temp file verified and flushed
  std::vector<std::string> missingOptional;  // paths of optional files that did not arrive
};

enum class FetchResult { kVerified, kOptionalMissing, kFailed };

// Downloads one file into its temp path, verifies it and flushes it to disk;
// a cancel is looked at first. kFailed sets error. Leaves no temp file
// unless the result is kVerified.
FetchResult FetchToTemp(DownloadRun& run, const StagedFile& file, std::wstring& error);

// Fetches the files in order. A file that names the record ("manifest.json"
// at the top, in any letter case) is not downloaded: the record is written
// from the verified manifest. False, with error set and every temp file of
// the run deleted, at a cancel or a required file that failed.
bool DownloadPhase(DownloadRun& run, const std::vector<StagedFile>& files,
                   DownloadedFiles& downloaded, std::wstring& error);

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

// The server's manifest as the record, except that an optional file that did
// not arrive keeps its installed entry, or has none when it is new, so that
// a later release brings it.
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
