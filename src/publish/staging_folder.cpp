#include "publish/staging_folder.h"

#include <random>
#include <system_error>

namespace zavex {
namespace {

constexpr int kNameAttempts = 32;

std::string RandomSuffix() {
  static std::mt19937 generator{std::random_device{}()};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string suffix;
  for (int digit = 0; digit < 8; ++digit) suffix.push_back(kDigits[generator() % 16]);
  return suffix;
}

}  // namespace

StagingFolder::StagingFolder(std::filesystem::path releaseFolder)
    : release(std::move(releaseFolder)) {}

StagingFolder::~StagingFolder() {
  if (placed || staged.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(staged, ignored);
}

std::filesystem::path StagingFolder::UnusedSibling(const std::string& purpose) const {
  std::error_code ignored;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::filesystem::path candidate =
        release.parent_path() /
        ("." + release.filename().u8string() + "." + purpose + "-" + RandomSuffix());
    if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ignored))) {
      return candidate;
    }
  }
  return {};
}

bool StagingFolder::Create(std::string& error) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::filesystem::path candidate = UnusedSibling("publishing");
    std::error_code failure;
    if (!candidate.empty() && std::filesystem::create_directory(candidate, failure)) {
      staged = candidate;
      return true;
    }
    if (failure) {
      error = "cannot make a folder beside " + release.u8string() + ": " + failure.message();
      return false;
    }
  }
  error = "cannot find an unused folder name beside " + release.u8string();
  return false;
}

bool StagingFolder::ReplaceRelease(std::string& warning, std::string& error) {
  std::error_code failure;
  if (!std::filesystem::exists(std::filesystem::symlink_status(release, failure))) {
    std::filesystem::rename(staged, release, failure);
    placed = !failure;
    if (failure) error = "cannot move the new release into place: " + failure.message();
    return placed;
  }
  const std::filesystem::path previous = UnusedSibling("previous");
  if (previous.empty()) {
    error = "cannot find an unused folder name beside " + release.u8string();
    return false;
  }
  std::filesystem::rename(release, previous, failure);
  if (failure) {
    error = "cannot move the published release aside: " + failure.message();
    return false;
  }
  const bool movesKept = !keptFolder.empty() && std::filesystem::exists(previous / keptFolder, failure);
  if (movesKept) std::filesystem::rename(previous / keptFolder, staged / keptFolder, failure);
  if (!failure) std::filesystem::rename(staged, release, failure);
  if (failure) {
    std::error_code ignored;
    if (movesKept) std::filesystem::rename(staged / keptFolder, previous / keptFolder, ignored);
    std::filesystem::rename(previous, release, ignored);
    error = "cannot move the new release into place: " + failure.message();
    return false;
  }
  placed = true;
  std::filesystem::remove_all(previous, failure);
  if (failure) {
    warning = "the previous release is left in " + previous.u8string() + ": " + failure.message();
  }
  return true;
}

}  // namespace zavex
