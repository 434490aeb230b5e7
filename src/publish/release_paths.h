#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zavex {

// The release's manifest, at the top of the release folder.
inline constexpr char kManifestName[] = "manifest.json";

// Why the updater could not install a file under relativePath (UTF-8,
// folders separated by "/"), or empty when it can.
std::string PathRefusal(const std::string& relativePath);

// The first two of paths that name the same file on Windows, where letter
// case does not count. False when all differ.
bool FindCaseCollision(const std::vector<std::string>& paths,
                       std::pair<std::string, std::string>& collision);

}  // namespace zavex
