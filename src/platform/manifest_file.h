#pragma once

#include <string>

#include "formats/manifest.h"

namespace zavex {

// Reads and parses a manifest file; a missing, unreadable, empty or oversized
// file gives the empty manifest.
Manifest LoadManifestFile(const std::wstring& path);

}  // namespace zavex
