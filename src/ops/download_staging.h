#pragma once

#include <string>

namespace zavex {

// The staging folder (kStagingFolderName, at the top of the installation)
// holds what a download brings before it becomes the file: patches,
// compressed copies and the notes of partial downloads. Each is named after
// its entry's path below a folder of its kind, so no two entries share one,
// and since no entry may lie in the staging folder, none names one either.
// The file itself still arrives as "<file>.tmp" beside its place.
enum class StagedKind { kPatch, kCompressedCopy, kNote };

// installPath\kStagingFolderName\<kind>\entryPath.
std::wstring StagingPath(const std::wstring& installPath, StagedKind kind, const std::wstring& entryPath);

// Creates the folders above path, which lies in the staging folder; false,
// creating nothing, when a folder on the way, or path itself, is a link.
bool PrepareStagingPath(const std::wstring& installPath, const std::wstring& path);

// Removes the staging folder and all it holds, never through a link. Best
// effort: what stays is logged as a WARN.
void RemoveStagingFolder(const std::wstring& installPath);

}  // namespace zavex
