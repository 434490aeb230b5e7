#pragma once

#include <filesystem>

namespace zavex {

// True when path itself is a symbolic link or another reparse point, whatever
// it leads to. The standard library cannot tell on Windows, where it follows
// such links.
bool IsLink(const std::filesystem::path& path);

// Copies the file at source to a new file copy, reading it through a handle
// opened on source itself, never on what a link there leads to. False when
// it cannot be copied; becameLink tells whether source is a link now.
bool CopyWithoutFollowingLinks(const std::filesystem::path& source,
                               const std::filesystem::path& copy, bool& becameLink);

}  // namespace zavex
