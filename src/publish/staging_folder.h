#pragma once

#include <filesystem>
#include <string>

namespace zavex {

// A new folder beside a release folder, where a release is written before it
// takes the release folder's place. Removed with everything in it unless it
// has been put in place.
class StagingFolder {
 public:
  // releaseFolder: absolute, without a trailing separator.
  explicit StagingFolder(std::filesystem::path releaseFolder);
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  // Makes the empty folder; false with the reason when none can be made.
  bool Create(std::string& error);
  const std::filesystem::path& path() const { return staged; }

  // Puts the staged folder in place of the release folder and then deletes
  // the previous release; the previous release's folder kept (see
  // KeepFolder) moves into the new one with the same swap. False with the reason when the swap fails; the
  // previous release is then still in place. warning tells of a previous
  // release that could not be deleted.
  bool ReplaceRelease(std::string& warning, std::string& error);

  // A folder at the top of the release that is no part of it and stays.
  void KeepFolder(const std::string& name) { keptFolder = name; }

 private:
  // A name beside the release folder that nothing uses yet.
  std::filesystem::path UnusedSibling(const std::string& purpose) const;

  std::filesystem::path release;
  std::filesystem::path staged;
  std::string keptFolder;
  bool placed = false;
};

}  // namespace zavex
