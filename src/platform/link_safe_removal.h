#pragma once

#include <string>

namespace zavex {

// Deletes everything it can below path, then path itself; true when path is
// gone. Each entry is opened as itself, never through a link: a link (a
// symbolic link or junction, to a file or a folder) is removed as a link and
// never entered. An open folder cannot be renamed or replaced while its
// entries are removed. False, with nothing removed, when path is itself a
// link (ERROR_DIRECTORY). On failure GetLastError gives the code of the
// first entry that could not be removed.
bool RemoveTreeWithoutFollowingLinks(const std::wstring& path);

// True when a folder between root (excluded) and path, or path itself, is a
// link, so that writing or deleting at path would act outside root.
bool PathCrossesLink(const std::wstring& root, const std::wstring& path);

}  // namespace zavex
