#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zavex {

// Days from publishing until a signed manifest expires, unless given.
inline constexpr int kDefaultExpiryDays = 90;
// The longest expiry that --expires-in takes.
inline constexpr int kMaxExpiryDays = 3650;

// What one run of the publisher turns into a release.
struct PublishOptions {
  std::filesystem::path buildFolder;    // one build of the application
  std::filesystem::path releaseFolder;  // what the web server serves
  std::string version;
  std::int32_t versionCode = 0;
  std::string releaseDate;
  std::string releaseNotes;
  std::string minVersion;
  std::vector<std::string> optionalPatterns;  // files that match are not required
  std::filesystem::path signingKeyFile;       // empty: the release is not signed
  int expiresInDays = kDefaultExpiryDays;     // how long a signed manifest is trusted
  bool x64Updater = false;  // a top-level zavex_updater.exe is for x86-64, not x86
  std::int32_t patchHistory = 3;              // releases back that get patches
  bool seekingPatches = true;  // version 1 patches beside the forward ones (--patch-formats)
  // The percentage of installations that take the release (0 halts it);
  // none: 100 when publishing, the published one when re-signing.
  std::optional<std::int32_t> rollout;
  std::int32_t criticalBelow = 0;  // installations below this code take it at once
  std::string channel;             // empty: the default channel
};

struct PublishCommand {
  bool showHelp = false;
  std::filesystem::path generateKeyFolder;  // not empty: make a key pair, publish nothing
  bool reSign = false;  // sign options.releaseFolder's manifest anew with a new expiry
  // "--set-rollout" or "--halt": re-sign with options.rollout.
  bool setRollout = false;
  PublishOptions options;
};

// Reads the arguments after the program name (UTF-8). False with the reason
// when they do not form a valid call; "--help" anywhere only asks for help.
bool ParsePublishCommand(const std::vector<std::string>& arguments, PublishCommand& command,
                         std::string& error);

// The text that "--help" prints.
std::string PublishHelpText();

// Today's date in UTC as YYYY-MM-DD, the release date when none is given.
std::string TodayUtcDate();

}  // namespace zavex
