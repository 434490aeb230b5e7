#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zavex {

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
  std::int32_t patchHistory = 3;              // releases back that get patches
};

struct PublishCommand {
  bool showHelp = false;
  std::filesystem::path generateKeyFolder;  // not empty: make a key pair, publish nothing
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
