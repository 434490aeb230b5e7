#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "formats/delta_index.h"
#include "formats/manifest.h"
#include "publish/file_hasher.h"

namespace zavex {

// The release folder's own folder (kDeltaFolderName), beside the published
// files:
//   index-<sha256>.json         the patches, and the copies of this release's
//                               files smaller than the file, with their sizes
//                               and SHA-256 (formats/delta_index.h), named by
//                               its own SHA-256
//   index.json                  the same bytes, for older updaters
//   <hash>.deflate              a file's content as raw DEFLATE
//   <from hash>-<to hash>.patch a patch (formats/binary_patch.h) between contents
//   <from hash>-<to hash>.forward.patch  the same as a forward patch; between
//                               PE files, the transformed one when smaller
//   history/<version code>.json the manifests of the previous releases

// Reports a diff's progress: the file, bytes of it done, its size.
using DeltaProgress = std::function<void(const std::string& path, std::uint64_t done, std::uint64_t total)>;

struct DeltaOptions {
  std::int32_t patchHistory = 3;  // releases back to make patches from
  bool seekingPatches = true;     // version 1 patches beside the forward ones
  // Files whose old and new size add up to more are not diffed: the diff's
  // memory is about twice that.
  std::uint64_t diffSizeLimit = std::uint64_t{1} << 30;
  DeltaProgress progress;
};

// Writes kDeltaFolderName into staging, which holds the new release's files
// as manifest lists them, from what previousRelease (the release folder about
// to be replaced; it may not exist) already holds: compressed copies of the
// files of manifest and of the last patchHistory releases, patches from each
// of those releases' versions of a changed path when smaller than the
// compressed copy, their manifests and the index. Copies and patches no kept
// manifest names are left behind. index names the index written, for the
// manifest; warnings tells of files not diffed.
bool WriteDeltaFolder(const std::filesystem::path& staging, const std::filesystem::path& previousRelease,
                      const Manifest& manifest, const DeltaOptions& options, FileHasher& hasher,
                      DeltaIndexRef& index, std::vector<std::string>& warnings, std::string& error);

}  // namespace zavex
