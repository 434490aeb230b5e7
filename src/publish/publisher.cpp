#include "publish/publisher.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <optional>
#include <system_error>

#include "formats/manifest.h"
#include "formats/rollout.h"
#include "formats/signature_file.h"
#include "formats/utc_time.h"
#include "publish/delta_folder.h"
#include "publish/executable_machine.h"
#include "publish/file_bytes.h"
#include "publish/file_link.h"
#include "publish/optional_pattern.h"
#include "publish/release_paths.h"
#include "publish/release_signer.h"
#include "publish/staging_folder.h"

namespace fs = std::filesystem;

namespace zavex {
namespace {

// The manifest holds sizes in 32 bits.
constexpr std::uintmax_t kFileSizeLimit = 4294967296;

struct Folders {
  fs::path build;
  fs::path release;
};

struct BuildFile {
  std::string path;  // relative, "/" between folders
  fs::path source;
};

std::string Quoted(const fs::path& path) { return "\"" + path.u8string() + "\""; }

// Absolute, normalised, without a trailing separator.
fs::path NormalFolder(const fs::path& folder) {
  std::error_code ignored;
  fs::path normal = fs::absolute(folder, ignored).lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

bool IsInside(const fs::path& inner, const fs::path& outer) {
  const auto mismatch = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
  return mismatch.first == outer.end() && mismatch.second != inner.end();
}

bool CheckFoldersApart(const Folders& folders, std::string& error) {
  std::error_code ignored;
  const fs::path build = fs::weakly_canonical(folders.build, ignored);
  const fs::path release = fs::weakly_canonical(folders.release, ignored);
  if (build == release) {
    error = "the release folder must not be the build folder";
  } else if (IsInside(release, build)) {
    error = "the release folder must not lie inside the build folder";
  } else if (IsInside(build, release)) {
    error = "the build folder must not lie inside the release folder, which is replaced";
  }
  return error.empty();
}

bool ResolveFolders(const PublishOptions& options, Folders& folders, std::string& error) {
  folders = {NormalFolder(options.buildFolder), NormalFolder(options.releaseFolder)};
  std::error_code ignored;
  if (!fs::is_directory(folders.build, ignored)) {
    error = "the build folder " + Quoted(folders.build) + " does not exist or is not a folder";
  } else if (!folders.release.has_relative_path()) {
    error = "cannot publish into a root folder";
  } else if (!fs::is_directory(folders.release.parent_path(), ignored)) {
    error = "the folder " + Quoted(folders.release.parent_path()) +
            " that would hold the release folder does not exist";
  } else if (fs::exists(folders.release, ignored) && !fs::is_directory(folders.release, ignored)) {
    error = Quoted(folders.release) + " is not a folder";
  }
  return error.empty() && CheckFoldersApart(folders, error);
}

bool CheckReleaseFields(const PublishOptions& options, std::string& error) {
  if (options.version.empty()) {
    error = "the version must not be empty";
  } else if (options.versionCode < 1) {
    error = "the version code must be 1 or more";
  }
  return error.empty();
}

// The valid manifest of a release folder that holds files.
bool ReadPublishedManifest(const fs::path& release, Manifest& published, std::string& error) {
  const fs::path manifestPath = release / kManifestName;
  std::error_code ignored;
  std::string text;
  if (!fs::is_regular_file(manifestPath, ignored)) {
    error = Quoted(release) + " holds files but no manifest.json; it is left alone, as it is " +
            "not a release folder";
    return false;
  }
  published = ParseManifest(ReadWholeFile(manifestPath, text) ? text : "");
  if (IsValid(published)) return true;
  error = Quoted(manifestPath) + " is not a valid manifest; it is left alone";
  return false;
}

// Whether the folder is missing, empty, or holds only the folder of channels.
bool HoldsNoRelease(const fs::path& release) {
  std::error_code ignored;
  if (!fs::exists(release, ignored)) return true;
  for (const fs::directory_entry& entry : fs::directory_iterator(release, ignored)) {
    if (entry.path().filename() != kChannelsFolderName) return false;
  }
  return true;
}

// 0 for a folder that holds no release; false when it holds anything but a
// release.
bool ReadPublishedVersionCode(const fs::path& release, std::int32_t& versionCode,
                              std::string& error) {
  versionCode = 0;
  if (HoldsNoRelease(release)) return true;
  Manifest published;
  if (!ReadPublishedManifest(release, published, error)) return false;
  versionCode = published.versionCode;
  return true;
}

bool CheckVersionCodeIsNew(const fs::path& release, std::int32_t versionCode,
                           PublishSummary& summary, std::string& error) {
  if (!ReadPublishedVersionCode(release, summary.previousVersionCode, error)) return false;
  if (versionCode > summary.previousVersionCode) return true;
  error = "version code " + std::to_string(versionCode) + " is not above " +
          std::to_string(summary.previousVersionCode) + ", the one published in " +
          Quoted(release) + "; installed copies would not update to it";
  return false;
}

bool CheckFileSize(const std::string& path, std::uintmax_t size, std::string& error) {
  if (size < kFileSizeLimit) return true;
  error = "the file " + path + " has " + std::to_string(size) +
          " bytes; the updater takes files below 4 GiB (4294967296 bytes)";
  return false;
}

bool AcceptEntry(const fs::directory_entry& entry, const fs::path& build,
                 std::vector<BuildFile>& files, std::string& error) {
  const std::string path = entry.path().lexically_relative(build).generic_u8string();
  std::error_code failure;
  // A link would publish whatever it leads to, a key or a file outside the build.
  if (IsLink(entry.path())) {
    error = entry.is_directory(failure)
                ? path + " is a link to a folder; copy that folder's files into the build instead"
                : path + " is a link to a file; copy the file itself into the build instead";
    return false;
  }
  if (entry.is_directory(failure)) return true;
  if (!entry.is_regular_file(failure)) {
    error = path + " is not a regular file";
    return false;
  }
  const std::string refusal = PathRefusal(path);
  if (!refusal.empty()) {
    error = "the file " + path + " " + refusal;
    return false;
  }
  const std::uintmax_t size = entry.file_size(failure);
  if (failure) {
    error = "cannot read the size of " + path + ": " + failure.message();
    return false;
  }
  if (!CheckFileSize(path, size, error)) return false;
  files.push_back({path, entry.path()});
  return true;
}

bool CheckDistinctPaths(const std::vector<BuildFile>& files, std::string& error) {
  std::vector<std::string> paths;
  std::transform(files.begin(), files.end(), std::back_inserter(paths),
                 [](const BuildFile& file) { return file.path; });
  std::pair<std::string, std::string> collision;
  if (!FindCaseCollision(paths, collision)) return true;
  error = "the files " + collision.first + " and " + collision.second +
          " differ only in letter case, so on Windows they are one file";
  return false;
}

// Every file below build, in byte order of their paths.
bool CollectBuildFiles(const fs::path& build, std::vector<BuildFile>& files, std::string& error) {
  std::error_code failure;
  fs::recursive_directory_iterator walk(build, failure);
  for (; !failure && walk != fs::recursive_directory_iterator(); walk.increment(failure)) {
    if (!AcceptEntry(*walk, build, files, error)) return false;
  }
  if (failure) {
    error = "cannot read the build folder " + Quoted(build) + ": " + failure.message();
    return false;
  }
  if (files.empty()) {
    error = "the build folder " + Quoted(build) + " holds no files";
    return false;
  }
  std::sort(files.begin(), files.end(),
            [](const BuildFile& a, const BuildFile& b) { return a.path < b.path; });
  return CheckDistinctPaths(files, error);
}

// A top-level zavex_updater.exe must be an updater that installed copies can run.
bool CheckUpdaterMachine(const std::vector<BuildFile>& files, bool x64Updater,
                         std::string& error) {
  for (const BuildFile& file : files) {
    if (!IsUpdaterPath(file.path)) continue;
    const std::string refusal =
        ExecutableMachineRefusal(file.source, x64Updater ? kMachineAmd64 : kMachineI386);
    if (refusal.empty()) continue;
    error = "the file " + file.path + " " + refusal;
    return false;
  }
  return true;
}

// Whether the path is optional; marks the patterns that matched it.
bool MatchOptional(const std::vector<std::string>& patterns, const std::string& path,
                   std::vector<bool>& patternUsed) {
  bool matched = false;
  for (std::size_t index = 0; index < patterns.size(); ++index) {
    if (MatchesOptionalPattern(patterns[index], path)) matched = patternUsed[index] = true;
  }
  return matched;
}

// Copies the file into the staging folder and describes the copy, which is
// what the web server will send.
bool StageFile(const BuildFile& file, const fs::path& staging, FileHasher& hasher,
               ManifestFile& entry, std::string& error) {
  const fs::path copy = staging / fs::u8path(file.path);
  std::error_code failure;
  fs::create_directories(copy.parent_path(), failure);
  bool becameLink = false;
  if (!failure && !CopyWithoutFollowingLinks(file.source, copy, becameLink)) {
    error = becameLink ? file.path + " has become a link since the build folder was read"
                       : "cannot copy " + file.path;
    return false;
  }
  const std::uintmax_t size = failure ? 0 : fs::file_size(copy, failure);
  if (failure) {
    error = "cannot copy " + file.path + ": " + failure.message();
    return false;
  }
  if (!CheckFileSize(file.path, size, error)) return false;
  entry.path = file.path;
  entry.hash = hasher.HashFile(copy);
  entry.size = static_cast<std::uint32_t>(size);
  if (entry.hash.size() == kHashDigits) return true;
  error = "cannot compute the SHA-256 of " + file.path;
  return false;
}

bool WriteStagedFile(const fs::path& staging, const std::string& name, const std::string& bytes,
                     std::string& error) {
  if (WriteWholeFile(staging / name, bytes.data(), bytes.size())) return true;
  error = "cannot write " + name;
  return false;
}

// Nothing to do when key is empty; otherwise the signature of manifestText.
bool WriteSignature(const fs::path& staging, const std::optional<SigningKey>& key,
                    const std::string& manifestText, std::string& error) {
  if (!key) return true;
  ManifestSignature signature;
  if (!SignManifest(*key, manifestText, signature)) {
    error = "cannot sign the manifest: the signing key's private and public parts do not match";
    return false;
  }
  return WriteStagedFile(staging, kSignatureFileName, WriteSignatureFile(signature), error);
}

bool ReadSigningKey(const fs::path& file, std::optional<SigningKey>& key, std::string& error) {
  if (file.empty()) return true;
  std::string text;
  if (!ReadWholeFile(file, text)) {
    error = "cannot read the signing key " + Quoted(file);
    return false;
  }
  key.emplace();
  if (ReadPrivateKeyPem(text, *key)) return true;
  error = Quoted(file) + " is not an ECDSA P-256 private key in PEM PKCS#8 (BEGIN PRIVATE KEY)";
  return false;
}

// With a key, the manifest expires options.expiresInDays from now.
bool WriteManifest(const fs::path& staging, const std::optional<SigningKey>& key,
                   const PublishOptions& options, Manifest& manifest, PublishSummary& summary,
                   std::string& error) {
  constexpr UtcSeconds kSecondsPerDay = 86400;
  const UtcSeconds now = static_cast<UtcSeconds>(std::time(nullptr));
  manifest.expires = key ? FormatUtcTimestamp(now + options.expiresInDays * kSecondsPerDay) : "";
  summary.expires = manifest.expires;
  const std::string manifestText = SerializeManifest(manifest);
  return WriteStagedFile(staging, kManifestName, manifestText, error) &&
         WriteSignature(staging, key, manifestText, error);
}

Manifest ManifestHeader(const PublishOptions& options) {
  Manifest manifest;
  manifest.version = options.version;
  manifest.versionCode = options.versionCode;
  manifest.releaseDate = options.releaseDate;
  manifest.releaseNotes = options.releaseNotes;
  manifest.minVersion = options.minVersion;
  manifest.rollout = options.rollout.value_or(manifest.rollout);
  manifest.criticalBelow = options.criticalBelow;
  return manifest;
}

void WarnAboutUnusedPatterns(const std::vector<std::string>& patterns,
                             const std::vector<bool>& patternUsed, PublishSummary& summary) {
  for (std::size_t index = 0; index < patterns.size(); ++index) {
    if (!patternUsed[index]) summary.warnings.push_back("--optional=" + patterns[index] +
                                                        " matches no file");
  }
}

DeltaOptions DeltaOptionsFor(const PublishOptions& options, const DeltaProgress& progress) {
  DeltaOptions deltaOptions;
  deltaOptions.patchHistory = options.patchHistory;
  deltaOptions.seekingPatches = options.seekingPatches;
  deltaOptions.progress = progress;
  return deltaOptions;
}

bool StageRelease(const PublishOptions& options, const std::vector<BuildFile>& files,
                  const std::optional<SigningKey>& key, const fs::path& staging, const fs::path& release,
                  FileHasher& hasher, const DeltaProgress& progress, PublishSummary& summary,
                  std::string& error) {
  Manifest manifest = ManifestHeader(options);
  std::vector<bool> patternUsed(options.optionalPatterns.size(), false);
  for (const BuildFile& file : files) {
    ManifestFile entry;
    if (!StageFile(file, staging, hasher, entry, error)) return false;
    entry.required = !MatchOptional(options.optionalPatterns, file.path, patternUsed);
    summary.totalBytes += entry.size;
    manifest.files.push_back(std::move(entry));
  }
  summary.fileCount = manifest.files.size();
  WarnAboutUnusedPatterns(options.optionalPatterns, patternUsed, summary);
  return WriteDeltaFolder(staging, release, manifest, DeltaOptionsFor(options, progress), hasher,
                          manifest.deltaIndex, summary.warnings, error) &&
         WriteManifest(staging, key, options, manifest, summary, error);
}

// The default channel's release keeps the folder of the other channels.
bool ReplaceRelease(StagingFolder& staging, const PublishOptions& options, PublishSummary& summary,
                    std::string& error) {
  if (options.channel.empty()) staging.KeepFolder(kChannelsFolderName);
  std::string warning;
  if (!staging.ReplaceRelease(warning, error)) return false;
  if (!warning.empty()) summary.warnings.push_back(warning);
  return true;
}

// The release's own files into the staging folder, each as its entry lists it.
bool StagePublishedFiles(const fs::path& release, const Manifest& manifest,
                         const fs::path& staging, FileHasher& hasher, PublishSummary& summary,
                         std::string& error) {
  for (const ManifestFile& listed : manifest.files) {
    ManifestFile copied;
    if (!StageFile({listed.path, release / fs::u8path(listed.path)}, staging, hasher, copied,
                   error)) {
      return false;
    }
    if (copied.hash != listed.hash || copied.size != listed.size) {
      error = "the published file " + listed.path + " no longer matches its manifest entry; " +
              "publish a new release instead";
      return false;
    }
    summary.totalBytes += copied.size;
  }
  summary.fileCount = manifest.files.size();
  return true;
}

// The files and the delta folder as they are, the manifest with a new expiry.
bool ReSign(const PublishOptions& options, FileHasher& hasher, const DeltaProgress& progress,
            PublishSummary& summary, std::string& error) {
  std::optional<SigningKey> key;
  const fs::path release = NormalFolder(options.releaseFolder);
  Manifest manifest;
  if (!ReadSigningKey(options.signingKeyFile, key, error) ||
      !ReadPublishedManifest(release, manifest, error)) {
    return false;
  }
  if (!key) {
    error = "re-signing needs a signing key";
    return false;
  }
  summary.previousVersionCode = manifest.versionCode;
  manifest.rollout = options.rollout.value_or(manifest.rollout);
  StagingFolder staging(release);
  if (!staging.Create(error) ||
      !StagePublishedFiles(release, manifest, staging.path(), hasher, summary, error) ||
      !WriteDeltaFolder(staging.path(), release, manifest, DeltaOptionsFor(options, progress), hasher,
                        manifest.deltaIndex, summary.warnings, error) ||
      !WriteManifest(staging.path(), key, options, manifest, summary, error)) {
    return false;
  }
  return ReplaceRelease(staging, options, summary, error);
}

// A channel's release folder lies in the release folder's "channels".
void MakeChannelsFolder(const PublishOptions& options) {
  if (options.channel.empty()) return;
  std::error_code ignored;
  fs::create_directory(NormalFolder(options.releaseFolder).parent_path(), ignored);
}

bool Publish(const PublishOptions& options, FileHasher& hasher, const DeltaProgress& progress,
             PublishSummary& summary, std::string& error) {
  Folders folders;
  std::vector<BuildFile> files;
  std::optional<SigningKey> key;
  MakeChannelsFolder(options);
  if (!CheckReleaseFields(options, error) || !ReadSigningKey(options.signingKeyFile, key, error) ||
      !ResolveFolders(options, folders, error) ||
      !CheckVersionCodeIsNew(folders.release, options.versionCode, summary, error) ||
      !CollectBuildFiles(folders.build, files, error) ||
      !CheckUpdaterMachine(files, options.x64Updater, error)) {
    return false;
  }
  StagingFolder staging(folders.release);
  if (!staging.Create(error) ||
      !StageRelease(options, files, key, staging.path(), folders.release, hasher, progress, summary,
                    error)) {
    return false;
  }
  return ReplaceRelease(staging, options, summary, error);
}

using PublishStep = bool (*)(const PublishOptions&, FileHasher&, const DeltaProgress&,
                             PublishSummary&, std::string&);

bool RunGuarded(PublishStep step, const PublishOptions& options, FileHasher& hasher,
                const DeltaProgress& progress, PublishSummary& summary, std::string& error) {
  summary = PublishSummary();
  try {
    return step(options, hasher, progress, summary, error);
  } catch (const std::exception& failure) {
    // Path conversions and allocations throw; the staging folder is gone by now.
    error = failure.what();
    return false;
  }
}

}  // namespace

bool PublishRelease(const PublishOptions& options, FileHasher& hasher, PublishSummary& summary,
                    std::string& error, const DeltaProgress& progress) {
  return RunGuarded(Publish, options, hasher, progress, summary, error);
}

bool ReSignRelease(const PublishOptions& options, FileHasher& hasher, PublishSummary& summary,
                   std::string& error, const DeltaProgress& progress) {
  return RunGuarded(ReSign, options, hasher, progress, summary, error);
}

}  // namespace zavex
