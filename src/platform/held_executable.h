#pragma once

#include <string>

namespace zavex {

// Opens the file at path (the running executable) for reading, sharing
// neither write nor delete, and keeps it open for the rest of the process:
// while it is held no one can rename, replace or change it. True when held,
// which it is only when the file opened is the one Windows mapped as this
// process's image (same file identity): another put at the path after the
// start is not held.
bool HoldExecutable(const std::wstring& path);

// Ends the hold when path names the held file, so that this program can move
// its own file aside to put a new one in its place; true when it did. Copies
// fail from then on.
bool StopHoldingIfAt(const std::wstring& path);

// Copies the held file's bytes to target, created or truncated; true when
// every byte was written and flushed. False when nothing is held.
bool CopyHeldExecutableTo(const std::wstring& target);

}  // namespace zavex
