#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/delta_index.h"

namespace zavex {

// A SHA-256 as the manifest and the delta folder write it.
inline constexpr std::size_t kHashDigits = 64;

// True for exactly kHashDigits lowercase hexadecimal digits.
bool IsHashText(const std::string& text);

// One file of the installation as the server lists it.
struct ManifestFile {
  std::string path;  // relative to the installation folder; identifies the file
  std::string hash;  // SHA-256 of the content, hexadecimal
  std::uint32_t size = 0;
  bool required = true;  // a failed download of this file stops the install
};

// The application's version and every file of the installation. A default
// Manifest is the empty manifest, which IsValid rejects.
struct Manifest {
  std::string version;
  std::int32_t versionCode = 0;
  std::string releaseDate;
  std::string releaseNotes;
  std::string minVersion;
  // When a signed server manifest stops being trusted (UTC,
  // YYYY-MM-DDTHH:MM:SSZ); empty in the stored record.
  std::string expires;
  // The whole percentage of installations that take the release, 0 to 100;
  // 0 halts it. 100 in the stored record.
  std::int32_t rollout = 100;
  // Installations below this version code take the release whatever its
  // rollout, unless halted; 0 for none, and 0 in the stored record.
  std::int32_t criticalBelow = 0;
  // The index of compressed copies and patches, by the SHA-256 and size of
  // its bytes ("deltaIndex"); none when its hash is empty, and none in the
  // stored record.
  DeltaIndexRef deltaIndex;
  std::vector<ManifestFile> files;
};

// Reads a manifest document. Never throws: text that is not JSON, a root that
// is no object or any error inside the document gives the empty manifest.
// Fields of the wrong kind keep their defaults, but a "deltaIndex" that is
// not an object of a SHA-256 "hash" and a "size" from 1 to
// kMaxDeltaIndexBytes, a "rollout" that is not a whole number from 0 to 100
// or a "criticalBelow" that is not one from 0 to 2147483647 gives the empty
// manifest too.
Manifest ParseManifest(const std::string& text) noexcept;

// Whether a relative path stays inside the installation folder: not absolute,
// no ':' or zero byte, no ".." segment.
bool StaysInsideInstallFolder(const std::string& path);

// True for a non-empty version, a positive versionCode and at least one file,
// with every file path staying inside the installation folder: not absolute,
// no ':' or zero byte, no ".." segment, not in kStagingFolderName, and not
// the installation's id or channel file (see rollout.h).
bool IsValid(const Manifest& manifest);

// The entries of newer whose file installed does not list, or whose first
// entry for that file in installed has another hash; in newer's order.
// Paths name one file as Windows sees it (NameSameFile); hashes compare byte
// for byte.
std::vector<ManifestFile> GetFilesToUpdate(const Manifest& newer, const Manifest& installed);

// The paths of installed whose file newer does not list, as written in
// installed, in its order, repeated as often as installed repeats them. A path
// that only changed its letter case or separators is never among them, so
// deleting them never removes a file of newer.
std::vector<std::string> GetFilesToDelete(const Manifest& newer, const Manifest& installed);

// The stored layout: two-space indents, LF line ends, fields in fixed order,
// every string escaped; "rollout" only below 100, "criticalBelow" only above
// 0, "expires" and "deltaIndex" only when not empty.
std::string SerializeManifest(const Manifest& manifest);

// Escapes quote, backslash and bytes below 0x20 for use inside a JSON string;
// all other bytes pass unchanged. No surrounding quotes.
std::string EscapeJsonString(const std::string& text);

// The updater's own file at the top of the installation.
inline constexpr char kUpdaterFileName[] = "zavex_updater.exe";

// The folder at the top of the installation where downloads wait before they
// become files; no entry may name it or anything in it.
inline constexpr char kStagingFolderName[] = "zavex_staging";

// Whether path names kUpdaterFileName as Windows sees it.
bool IsUpdaterPath(const std::string& path);

}  // namespace zavex
