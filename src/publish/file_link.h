#pragma once

#include <filesystem>

namespace zavex {

// True when path itself is a symbolic link or another reparse point, whatever
// it leads to. The standard library cannot tell on Windows, where it follows
// such links.
bool IsLink(const std::filesystem::path& path);

}  // namespace zavex
