#pragma once

#include <cstddef>
#include <string>

namespace zavex {

// Reads a file of at most maxBytes, opened as itself: false for a link (which
// is never followed), a folder, a larger file or one that cannot be read.
bool ReadSmallFileAsItself(const std::wstring& path, std::size_t maxBytes, std::string& bytes);

// The same read for a file already opened with FILE_FLAG_OPEN_REPARSE_POINT.
bool ReadOpenedFileAsItself(void* file, std::size_t maxBytes, std::string& bytes);

// Writes bytes into path + ".tmp", created anew (a leftover of that name is
// deleted first, as a link when it is one), flushes it, and renames it over
// path: a link at path is replaced, never written through. False when any
// step failed; path is then as it was.
bool ReplaceFileAsItself(const std::wstring& path, const std::string& bytes);

}  // namespace zavex
