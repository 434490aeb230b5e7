#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publish/delta_folder.h"
#include "publish/file_hasher.h"
#include "publish/publish_options.h"

namespace zavex {

struct PublishSummary {
  std::size_t fileCount = 0;
  std::uint64_t totalBytes = 0;
  std::int32_t previousVersionCode = 0;  // 0 when nothing was published before
  std::vector<std::string> warnings;     // the release is published all the same
};

// Copies every file of options.buildFolder into options.releaseFolder with a
// manifest.json that lists them and, with a signing key, its manifest.json.sig,
// and writes the folder of compressed copies and patches (delta_folder.h),
// telling progress of its diffs. False with the reason when it refuses or
// fails; the release folder is then as it was and nothing is left beside it.
bool PublishRelease(const PublishOptions& options, FileHasher& hasher, PublishSummary& summary,
                    std::string& error, const DeltaProgress& progress = {});

}  // namespace zavex
