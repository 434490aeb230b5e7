#pragma once

#include <string>
#include <vector>

#include "formats/manifest.h"
#include "formats/windows_file_name.h"

namespace zavex::test {

// The manifest comparison rules written as plainly as possible, entry against
// entry, to check the indexed versions against.
inline std::vector<ManifestFile> FilesToUpdateByDefinition(const Manifest& newer,
                                                           const Manifest& installed) {
  std::vector<ManifestFile> result;
  for (const ManifestFile& file : newer.files) {
    const ManifestFile* match = nullptr;
    for (const ManifestFile& candidate : installed.files) {
      if (NameSameFile(candidate.path, file.path)) {
        match = &candidate;
        break;
      }
    }
    if (!match || match->hash != file.hash) result.push_back(file);
  }
  return result;
}

inline std::vector<std::string> FilesToDeleteByDefinition(const Manifest& newer,
                                                          const Manifest& installed) {
  std::vector<std::string> result;
  for (const ManifestFile& file : installed.files) {
    bool listed = false;
    for (const ManifestFile& candidate : newer.files) listed |= NameSameFile(candidate.path, file.path);
    if (!listed) result.push_back(file.path);
  }
  return result;
}

// One line per entry, "path|hash|size|required", for readable comparisons.
inline std::string Describe(const std::vector<ManifestFile>& files) {
  std::string text;
  for (const ManifestFile& file : files) {
    text += file.path + "|" + file.hash + "|" + std::to_string(file.size) + "|" +
            (file.required ? "true" : "false") + "\n";
  }
  return text;
}

}  // namespace zavex::test
