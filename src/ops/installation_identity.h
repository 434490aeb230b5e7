#pragma once

#include <cstdint>
#include <string>

#include "formats/rollout.h"
#include "ops/release_server.h"

namespace zavex {

// The installation's id from its file. A missing or malformed file gets a new
// id from the system's random generator, written back in its place (a folder
// that refuses the write keeps the new id for this run only, with a
// warning). False only when no id could be made.
bool LoadOrCreateInstallationId(const std::wstring& installPath, InstallationId& id);

// The channel that the installation follows; empty for the default, also
// when the file is missing or malformed (with a warning).
std::string LoadChannel(const std::wstring& installPath);

// Keeps channel (empty: the default) beside the id; false when it could not
// be written.
bool SaveChannel(const std::wstring& installPath, const std::string& channel);

// After an install: the id made when there is none yet, and channel kept.
// False when either could not be kept.
bool KeepInstallationIdentity(const std::wstring& installPath, const std::string& channel);

// The installation's bucket in the rollout of the release at versionCode:
// SHA-256(id || versionCode) read as 0 to kRolloutBuckets - 1. False when no
// digest could be made.
bool InstallationBucket(const InstallationId& id, std::int32_t versionCode, int& bucket);

// server moved to the folder of channel below its base address; unchanged
// for the default channel (empty).
ReleaseServer ServerForChannel(ReleaseServer server, const std::string& channel);

}  // namespace zavex
