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
  std::string expires;                   // when the signed manifest expires; empty unsigned
  std::vector<std::string> warnings;     // the release is published all the same
};

// Copies every file of options.buildFolder into options.releaseFolder with a
// manifest.json that lists them and, with a signing key, its manifest.json.sig,
// and writes the folder of compressed copies and patches (delta_folder.h),
// telling progress of its diffs. False with the reason when it refuses or
// fails; the release folder is then as it was and nothing is left beside it.
bool PublishRelease(const PublishOptions& options, FileHasher& hasher, PublishSummary& summary,
                    std::string& error, const DeltaProgress& progress = {});

// Signs the manifest published in options.releaseFolder anew, expiring
// options.expiresInDays from now, with options.rollout when given, with the
// same swap of the whole folder; every file and every other manifest field
// stay byte for byte, and the
// folder of compressed copies and patches is made again from the one there.
// Refuses, leaving the release as it was, when a file no longer matches its
// entry.
bool ReSignRelease(const PublishOptions& options, FileHasher& hasher, PublishSummary& summary,
                   std::string& error, const DeltaProgress& progress = {});

}  // namespace zavex
