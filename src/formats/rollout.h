#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "formats/manifest.h"

namespace zavex {

// The random id of one installation, kept in kInstallationIdFileName as
// 32 lowercase hexadecimal digits.
inline constexpr std::size_t kInstallationIdBytes = 16;
using InstallationId = std::array<std::uint8_t, kInstallationIdBytes>;

// The files at the top of the installation folder that hold its id and the
// channel that it follows; no release may list them.
inline constexpr char kInstallationIdFileName[] = "zavex_installation.id";
inline constexpr char kChannelFileName[] = "zavex_channel.txt";

// Where a channel's release folder lies below the server's base address.
inline constexpr char kChannelsFolderName[] = "channels";
inline constexpr std::size_t kMaxChannelNameChars = 32;

// Buckets are hundredths of a percent: 0 to 9999.
inline constexpr int kRolloutBuckets = 10000;

// True for 1 to kMaxChannelNameChars ASCII letters, digits and '-'.
bool IsValidChannelName(const std::string& name);

// True for exactly 32 lowercase hexadecimal digits, optionally followed by
// one LF; id then holds their bytes.
bool ParseInstallationId(const std::string& text, InstallationId& id);

// The id's file content: 32 lowercase hexadecimal digits and a LF.
std::string InstallationIdText(const InstallationId& id);

// The bytes whose SHA-256 places an installation in a release's rollout:
// the id's 16 bytes, then versionCode as 4 bytes, least significant first.
std::string RolloutHashInput(const InstallationId& id, std::int32_t versionCode);

using RolloutDigest = std::array<std::uint8_t, 32>;

// The digest's first 8 bytes as a big-endian number, modulo kRolloutBuckets.
int RolloutBucket(const RolloutDigest& digest);

// The bucket as a percentage with two decimals: 4317 gives "43.17".
std::string BucketPercentText(int bucket);

enum class RolloutDecision {
  kTake,      // the rollout includes this installation
  kAsked,     // outside the rollout, taken because a person asked
  kCritical,  // below the release's criticalBelow: taken whatever the rollout
  kHeldBack,  // outside the rollout
  kHalted,    // rollout 0: never taken
};

// Whether an installation at installedCode, in bucket, takes release. A halt
// wins over everything, then criticalBelow; askedByPerson (an interactive
// update) takes a release held back by its percentage.
RolloutDecision DecideRollout(const Manifest& release, std::int32_t installedCode, int bucket,
                              bool askedByPerson);

}  // namespace zavex
